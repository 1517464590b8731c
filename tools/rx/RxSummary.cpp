// The live summary vexo-rx prints for a person: per stream and audio, once a second.
#include "RxSummary.h"

#include <math.h>

#include <algorithm>

namespace rx {

namespace {

const char* format_name(int format)
{
	switch (format) {
	case NDIlib_frame_format_type_progressive: return "progressive";
	case NDIlib_frame_format_type_interleaved: return "interleaved";
	case NDIlib_frame_format_type_field_0:
	case NDIlib_frame_format_type_field_1: return "fields";
	default: return "?";
	}
}

double dbfs(double v)
{
	return v > 0 ? 20.0 * log10(v) : -INFINITY;
}

}  // namespace

void RxSummary::video(const ndi_standin::VideoFrame& f)
{
	StreamStats& s = streams_[f.stream == 1 ? 1 : 0];
	s.seen = true;
	s.xres = f.xres;
	s.yres = f.yres;
	s.fourcc = f.fourcc;
	s.rate_n = f.frame_rate_n;
	s.rate_d = f.frame_rate_d;
	s.format = f.format;
	s.frames += 1;
	s.bytes += f.data.size();
	s.total += 1;
}

void RxSummary::audio(const ndi_standin::AudioFrame& a)
{
	audio_.seen = true;
	audio_.rate = a.sample_rate;
	audio_.channels = a.channels;
	if (a.channels <= 0)
		return;
	size_t frames = a.data.size() / static_cast<size_t>(a.channels);
	for (size_t i = 0; i < frames; ++i)
		for (int c = 0; c < std::min(a.channels, 2); ++c) {
			double v = a.data[i * static_cast<size_t>(a.channels) + static_cast<size_t>(c)];
			audio_.peak[c] = std::max(audio_.peak[c], fabs(v));
			audio_.sum_sq[c] += v * v;
		}
	audio_.samples += frames;
}

void RxSummary::tick(FILE* out)
{
	auto now = std::chrono::steady_clock::now();
	double secs = std::chrono::duration<double>(now - last_).count();
	if (secs < 1.0)
		return;
	last_ = now;
	const char* names[2] = {"program", "preview"};
	for (int i = 0; i < 2; ++i) {
		StreamStats& s = streams_[i];
		if (!s.seen) {
			fprintf(out, "%-8s no frames yet\n", names[i]);
			continue;
		}
		double announced = s.rate_d != 0 ? static_cast<double>(s.rate_n) / s.rate_d : 0.0;
		fprintf(out, "%-8s %4dx%-4d %s %-11s %6.2f fps (announced %d/%d = %.2f)  %7.2f Mbit/s  %llu frames\n",
		        names[i], s.xres, s.yres, ndi_standin::fourcc_text(s.fourcc).c_str(), format_name(s.format),
		        s.frames / secs, s.rate_n, s.rate_d, announced, s.bytes * 8.0 / secs / 1e6,
		        static_cast<unsigned long long>(s.total));
		s.frames = s.bytes = 0;
	}
	if (!audio_.seen) {
		fprintf(out, "audio    none\n");
	} else {
		fprintf(out, "audio    %d Hz %d ch", audio_.rate, audio_.channels);
		for (int c = 0; c < std::min(audio_.channels, 2); ++c) {
			double rms = audio_.samples ? sqrt(audio_.sum_sq[c] / audio_.samples) : 0.0;
			fprintf(out, "  %s peak %6.1f dBFS rms %6.1f dBFS", c == 0 ? "L" : "R", dbfs(audio_.peak[c]), dbfs(rms));
		}
		fprintf(out, "%s\n", audio_.samples ? "" : "  (no samples this second)");
		audio_ = AudioStats{true, audio_.rate, audio_.channels, {0, 0}, {0, 0}, 0};
	}
	fprintf(out, "\n");
	fflush(out);
}

}  // namespace rx
