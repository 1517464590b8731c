// vexo-console's receiver: watches the appliance's NDI source through the stand-in runtime.
#include "LiveReceiver.h"

#include "rx_json.h"

#include <math.h>

#include <algorithm>

namespace console {

namespace {

using json = nlohmann::json;
using Kind = ndi_standin::RxEvent::Kind;

constexpr std::chrono::milliseconds kWindow{1000};
constexpr std::chrono::milliseconds kLevelWindow{250};
constexpr std::chrono::milliseconds kStale{1500};
constexpr size_t kOutboxLimit = 64;

double db(double amplitude)
{
	return amplitude > 0 ? std::max(-120.0, 20 * log10(amplitude)) : -120.0;
}


}  // namespace

LiveReceiver::LiveReceiver(std::string ndi_dir) : dir_(std::move(ndi_dir)) {}

LiveReceiver::~LiveReceiver()
{
	stop();
}

void LiveReceiver::start()
{
	running_ = true;
	thread_ = std::thread(&LiveReceiver::run, this);
}

void LiveReceiver::stop()
{
	running_ = false;
	if (thread_.joinable())
		thread_.join();
}

void LiveReceiver::set_tally(bool program, bool preview)
{
	std::lock_guard<std::mutex> lock(mutex_);
	tally_program_ = program;
	tally_preview_ = preview;
	tally_dirty_ = true;
}

bool LiveReceiver::send_metadata(const std::string& xml)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (!connected_)
		return false;
	if (outbox_.size() >= kOutboxLimit)
		outbox_.pop_front();
	outbox_.push_back(xml);
	return true;
}

std::shared_ptr<const ndi_standin::VideoFrame> LiveReceiver::frame(int stream, uint64_t& number) const
{
	std::lock_guard<std::mutex> lock(mutex_);
	const Stream& s = streams_[stream == 1 ? 1 : 0];
	number = s.number;
	return s.latest;
}

void LiveReceiver::flush_outbox(ndi_standin::Receiver& rx)
{
	std::deque<std::string> out;
	bool tally = false, program = false, preview = false;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		out.swap(outbox_);
		std::swap(tally, tally_dirty_);
		program = tally_program_;
		preview = tally_preview_;
	}
	if (tally)
		rx.set_tally(program, preview);
	for (const std::string& xml : out)
		rx.send_metadata(xml);
}

void LiveReceiver::run()
{
	ndi_standin::Receiver rx;
	while (running_) {
		if (!rx.connected()) {
			rx.open(dir_, std::nullopt, 200);  // on success the Source event comes next
			continue;
		}
		flush_outbox(rx);
		ndi_standin::RxEvent ev = rx.next(50);
		switch (ev.kind) {
		case Kind::Source: {
			std::lock_guard<std::mutex> lock(mutex_);
			connected_ = true;
			source_ = ev.source.name;
			tally_dirty_ = true;  // a new connection starts with no tally
			break;
		}
		case Kind::Video: on_video(std::move(ev.video)); break;
		case Kind::Audio: on_audio(ev.audio); break;
		case Kind::Disconnected: {
			std::lock_guard<std::mutex> lock(mutex_);
			connected_ = false;
			outbox_.clear();
			break;
		}
		default: break;
		}
	}
	rx.close();
}

void LiveReceiver::on_video(ndi_standin::VideoFrame&& v)
{
	Clock::time_point now = Clock::now();
	auto frame = std::make_shared<const ndi_standin::VideoFrame>(std::move(v));
	std::lock_guard<std::mutex> lock(mutex_);
	Stream& s = streams_[frame->stream == 1 ? 1 : 0];
	if (s.window_frames == 0 || now - s.last > kStale)
		s.window_start = now, s.window_frames = 0, s.window_bytes = 0;
	++s.window_frames;
	s.window_bytes += frame->data.size();
	double elapsed = std::chrono::duration<double>(now - s.window_start).count();
	if (now - s.window_start >= kWindow) {
		// Frames after the first over the time they took.
		s.fps = (s.window_frames - 1) / elapsed;
		s.mbps = s.fps * (double(s.window_bytes) / s.window_frames) * 8 / 1e6;
		s.window_start = now;
		s.window_frames = 1;
		s.window_bytes = frame->data.size();
	}
	s.last = now;
	s.latest = std::move(frame);
	++s.number;
}

void LiveReceiver::on_audio(const ndi_standin::AudioFrame& a)
{
	if (a.channels <= 0 || a.samples <= 0 || a.data.size() < static_cast<size_t>(a.channels) * a.samples)
		return;
	Clock::time_point now = Clock::now();
	std::lock_guard<std::mutex> lock(mutex_);
	Levels& l = audio_;
	if (l.channels != a.channels) {
		l = Levels();
		l.channels = a.channels;
		l.peak.assign(a.channels, 0);
		l.sum_sq.assign(a.channels, 0);
		l.window_start = now;
	}
	l.sample_rate = a.sample_rate;
	for (int i = 0; i < a.samples; ++i)
		for (int c = 0; c < a.channels; ++c) {
			double x = a.data[static_cast<size_t>(i) * a.channels + c];
			l.peak[c] = std::max(l.peak[c], fabs(x));
			l.sum_sq[c] += x * x;
		}
	l.samples += a.samples;
	l.last = now;
	if (now - l.window_start >= kLevelWindow) {
		l.peak_db.clear();
		l.rms_db.clear();
		for (int c = 0; c < l.channels; ++c) {
			l.peak_db.push_back(db(l.peak[c]));
			l.rms_db.push_back(db(sqrt(l.sum_sq[c] / l.samples)));
		}
		l.peak.assign(l.channels, 0);
		l.sum_sq.assign(l.channels, 0);
		l.samples = 0;
		l.window_start = now;
	}
}

json LiveReceiver::status() const
{
	Clock::time_point now = Clock::now();
	std::lock_guard<std::mutex> lock(mutex_);
	json out = {{"connected", connected_}, {"source", connected_ ? json(source_) : json(nullptr)},
	            {"tally", {{"program", tally_program_}, {"preview", tally_preview_}}}};
	const char* names[2] = {"program", "preview"};
	for (int i = 0; i < 2; ++i) {
		const Stream& s = streams_[i];
		if (!s.latest) {
			out[names[i]] = nullptr;
			continue;
		}
		const ndi_standin::VideoFrame& f = *s.latest;
		bool live = now - s.last <= kStale;
		out[names[i]] = {{"xres", f.xres}, {"yres", f.yres}, {"fourcc", ndi_standin::fourcc_text(f.fourcc)},
		                 {"frame_rate_n", f.frame_rate_n}, {"frame_rate_d", f.frame_rate_d},
		                 {"frame_rate", f.frame_rate_d ? double(f.frame_rate_n) / f.frame_rate_d : 0.0},
		                 {"format", rx::format_name(f.format)}, {"fps", live ? s.fps : 0.0},
		                 {"mbps", live ? s.mbps : 0.0}, {"frames", s.number}, {"live", live}};
	}
	if (audio_.channels > 0 && now - audio_.last <= kStale)
		out["audio"] = {{"channels", audio_.channels}, {"sample_rate", audio_.sample_rate},
		                {"peak_db", audio_.peak_db}, {"rms_db", audio_.rms_db}};
	else
		out["audio"] = nullptr;
	return out;
}

}  // namespace console
