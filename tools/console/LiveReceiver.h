// vexo-console's receiver: watches the appliance's NDI source through the stand-in runtime.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ndi_standin_rx.h>
#include <nlohmann/json.hpp>

namespace console {

// One thread connects to the first source in the directory (again after it goes away), keeps
// the latest frame of each stream, measures frame rate, data rate and audio levels, and sends
// the tally and the metadata frames queued by other threads. Every public call is thread-safe.
class LiveReceiver
{
public:
	explicit LiveReceiver(std::string ndi_dir);
	~LiveReceiver();
	void start();
	void stop();

	// {"connected":..,"source":..,"program":{..},"preview":{..},"audio":{..},"tally":{..}}
	nlohmann::json status() const;
	// The latest frame of a stream (0 program, 1 preview) and its number; null before any.
	std::shared_ptr<const ndi_standin::VideoFrame> frame(int stream, uint64_t& number) const;

	// Reported to the sender now and after every reconnection.
	void set_tally(bool program, bool preview);
	// Sent as one metadata frame; false when no source is connected.
	bool send_metadata(const std::string& xml);

private:
	using Clock = std::chrono::steady_clock;
	struct Stream {
		std::shared_ptr<const ndi_standin::VideoFrame> latest;
		uint64_t number = 0;
		Clock::time_point last;
		Clock::time_point window_start;
		uint64_t window_frames = 0, window_bytes = 0;
		double fps = 0, mbps = 0;
	};
	struct Levels {
		int channels = 0, sample_rate = 0;
		std::vector<double> peak, sum_sq;  // the window being filled
		uint64_t samples = 0;
		Clock::time_point window_start, last;
		std::vector<double> peak_db, rms_db;  // the last full window
	};

	void run();
	void on_video(ndi_standin::VideoFrame&& v);
	void on_audio(const ndi_standin::AudioFrame& a);
	void flush_outbox(ndi_standin::Receiver& rx);

	const std::string dir_;
	std::thread thread_;
	std::atomic<bool> running_{false};

	mutable std::mutex mutex_;
	bool connected_ = false;
	std::string source_;
	Stream streams_[2];
	Levels audio_;
	bool tally_program_ = false, tally_preview_ = false, tally_dirty_ = false;
	std::deque<std::string> outbox_;
};

}  // namespace console
