// The allocator set-up for the frame path.
#pragma once

#include <stddef.h>

// Bytes below which glibc takes a block from the heap instead of mapping it on its own: above
// the largest frame the acquisition accepts, so no frame buffer is ever mapped afresh.
size_t frame_heap_mmap_threshold();

// Sets the allocator up so that frame buffers of any accepted size are reused heap memory
// instead of fresh mappings: a fixed mmap threshold above the largest frame, a trim threshold
// of twice that, and on 32-bit targets one arena (a thread arena's heaps are 1 MiB there, so
// frames from the acquisition thread would otherwise map and unmap heaps as they come and
// go). Call once before any thread starts; false when glibc refused a setting.
bool prepare_frame_heap();
