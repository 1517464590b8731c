// The live summary vexo-rx prints for a person: per stream and audio, once a second.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <string>

#include <ndi_standin_rx.h>

namespace rx {

// Accumulates what arrived since the last report and prints a short block of lines.
// Used on vexo-rx's one thread; holds no resources.
class RxSummary
{
public:
	void video(const ndi_standin::VideoFrame& f);
	void audio(const ndi_standin::AudioFrame& a);
	// Prints a block when about a second has passed since the last one.
	void tick(FILE* out);

private:
	struct StreamStats {
		bool seen = false;
		int xres = 0, yres = 0;
		uint32_t fourcc = 0;
		int rate_n = 0, rate_d = 0;
		int format = 0;
		uint64_t frames = 0, bytes = 0;  // since the last report
		uint64_t total = 0;
	};
	struct AudioStats {
		bool seen = false;
		int rate = 0, channels = 0;
		double peak[2] = {0, 0};
		double sum_sq[2] = {0, 0};
		uint64_t samples = 0;  // per channel, since the last report
	};

	StreamStats streams_[2];
	AudioStats audio_;
	std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace rx
