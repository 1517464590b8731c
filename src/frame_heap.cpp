// The allocator set-up for the frame path.
#include "frame_heap.h"

#include <malloc.h>

#include "NdiTransmitter.h"

size_t frame_heap_mmap_threshold()
{
	// One page more than the largest frame: a block of that size stays on the heap.
	return static_cast<size_t>(NdiTransmitter::kMaxFrameBytes) + 4096;
}

bool prepare_frame_heap()
{
	const size_t threshold = frame_heap_mmap_threshold();
	// Meant to run before any thread starts (a repeated call only sets the same values again).
	// NOLINTBEGIN(concurrency-mt-unsafe)
	bool ok = mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold)) == 1;
	// Freed frames at the top of the heap stay for the next ones instead of going back to the
	// system (and being faulted in again) after every frame.
	ok = mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * threshold)) == 1 && ok;
	if (sizeof(void*) == 4)
		ok = mallopt(M_ARENA_MAX, 1) == 1 && ok;
	// NOLINTEND(concurrency-mt-unsafe)
	return ok;
}
