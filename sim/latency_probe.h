// The frame-path probe of the virtual appliance: device-ready to NDI send, per frame.
#pragma once

#include <stdint.h>

namespace sim {

// True when VEXO_LATENCY_LOG names a file to log to (read once).
bool latency_probe_enabled();

// The encoder model notes each frame read: the program's buffer it went into, the stream
// (true: preview), the frame clock's tick number and when that tick made the frame ready
// (CLOCK_MONOTONIC, ns). Called only when the probe is enabled.
void latency_note_read(const void* buf, bool preview, uint64_t tick, int64_t ready_ns);

// Frames of one stream (true: preview) the program's send queue bound has dropped since it
// started; 0 in a process without the program.
unsigned program_bound_drops(bool preview);

}  // namespace sim
