// NdiTransmitter: the encoder device, the frame path to NDI, the sender and its threads.
#pragma once

#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>

#include <Processing.NDI.Lib.h>

#include "AudioSupport.h"

// NdiTransmitter owns the SpeedHQ encoder device, the two NDI frame descriptions, the send
// queues, the NDI sender and every encoding thread (settings, tally, acquisition, the two
// send threads, audio). The main thread alone creates and destroys the sender and starts
// and stops encoding: creat_encode_threads starts the settings, tally, acquisition and both
// send threads, and distroy_encode_threads joins them in the order acquisition, full send,
// preview send, settings, tally, audio. The audio thread alone is started by the settings
// thread when audio is enabled, and joined by it when audio is muted or before it is started
// again; the final join is distroy_encode_threads', after the settings thread has ended, so
// the two never join it at once. While encoding runs, the threads share the device
// descriptor and the sender without a lock. Each send queue is protected by its own mutex;
// the words written by the settings and tally threads are relaxed atomics.
class NdiTransmitter {
public:
	// One compressed frame, owning a buffer of exactly its size; always held by shared_ptr.
	struct frame_t {
		int xres = 0;
		int yres = 0;
		NDIlib_FourCC_video_type_e FourCC = static_cast<NDIlib_FourCC_video_type_e>(0);
		int frame_rate_N = 0;
		int frame_rate_D = 0;
		float picture_aspect_ratio = 0.0f;
		NDIlib_frame_format_type_e frame_format_type = static_cast<NDIlib_frame_format_type_e>(0);
		std::unique_ptr<uint8_t[]> frame_data;
		int frame_data_size = 0;
	};

	// The largest compressed frame the acquisition accepts: 4 bytes a pixel (SpeedHQ never
	// comes near that) of the largest raster.
	static constexpr long long kLargestRaster = 3840LL * 2160;
	static constexpr long long kMaxBytesPerPixel = 4;
	static constexpr long long kMaxFrameBytes = kMaxBytesPerPixel * kLargestRaster;

	NdiTransmitter();
	virtual ~NdiTransmitter();

	// Encoder device and encode start/stop.
	void map_NdiTransmitter_mem(int map_fd);
	void unmap_NdiTransmitter_mem();
	void start_encode(int vid_format, int video_uv_vu_en);
	void stop_encode();
	void setup_video_frame(int vid_format);
	void startencodeThreads();
	void stopencodeThreads();

	// Frame acquisition.
	void wait_ndi_frame();
	bool copy_full();
	void copy_prvw();

	// Send queues and send threads.
	void queue_frame(const std::shared_ptr<frame_t>& frame, bool prvw);
	void send_full();
	void send_prvw();
	void add_frame(std::shared_ptr<frame_t> frame, bool prvw);  // NOLINT(performance-unnecessary-value-param)
	void creat_encode_threads();
	void distroy_encode_threads();

	// NDI sender.
	void creat_ndi_tx_instance();
	void distroy_ndi_tx_instance();
	bool check_source_name_None();
	bool get_source_data(const std::string& filename, std::string& data);

	// Live settings.
	void encode_settings();
	int GetWebUIVideoFormat();
	int GetWebUIVideoCSC();
	int GetWebUIVideoSampleRate();

	// Tally.
	void get_tally();

	// Audio.
	void send_audio_frame();

	// Stills.
	bool sentSplashScreen();

	std::atomic<bool> m_bFullCaptureEnabled{false};
	std::atomic<bool> m_bPrvwCaptureEnabled{false};
	int m_mervanespeedhqDevice = 0;
	std::atomic<int> bit_rate{0};
	const char* p_config_json;
	NDIlib_video_frame_v2_t prog_info_frame;
	NDIlib_video_frame_v2_t prev_info_frame;
	bool skip_prev_frame_en = false;
	bool interlaced_field = false;
	int encoder_pix_format_420 = 0;
	int init_frame_drop = 0;
	int init_frame_drop_count = 60;
	// The tally thread writes both flags, the main thread reads them once a second.
	std::atomic<NDIlib_tally_t> p_tally{NDIlib_tally_t(false, false)};
	NDIlib_send_instance_t ndi_tx_inst = nullptr;
	AudioSupport ndi_AudioSupport;
	unsigned int m_nFrameRateN = 30000;
	unsigned int m_nFrameRateD = 1001;
	NDIlib_send_create_t ndi_tx;
	bool NDITxCreated = false;
	std::atomic<int> AnalogAudioInGain{96};
	std::atomic<int> AnalogAudioOutGain{25};
	std::atomic<int> AudioInSel{1};
	NDIlib_source_t p_failover_source;
	std::thread encode_settings_thread;
	std::mutex m_ndi_full_send_queue_lock;
	std::mutex m_ndi_prvw_send_queue_lock;
	std::condition_variable m_ndi_full_send_queue_condvar;
	std::condition_variable m_ndi_prvw_send_queue_condvar;
	std::queue<std::shared_ptr<frame_t>> m_ndi_full_send_queue;
	std::queue<std::shared_ptr<frame_t>> m_ndi_prvw_send_queue;
	int max_queue_size = 3;
	// Element 0: last preview frame sent, element 1: last full frame sent.
	std::array<std::shared_ptr<frame_t>, 2> m_prev_video_frame;
	std::thread wait_ndi_frame_thread;
	std::thread send_ndi_frame_prog_thread;
	std::thread send_ndi_frame_prev_thread;
	std::thread send_audio_frame_thread;  // started and joined by the settings thread; last join at stop
	std::atomic<bool> audio_en{false};
	std::thread get_tally_thread;
	std::atomic<bool> tally_running{false};
	std::atomic<bool> encodeRunning{false};

private:
	// Waits up to `duration` while `run_flag` stays set; false when the flag was cleared.
	// The settings and tally threads pause this way so that a stop cuts their pauses short.
	bool pause_while(const std::atomic<bool>& run_flag, std::chrono::milliseconds duration);
	void wake_pauses();

	// Protects nothing but the pauses' wake-ups; the run flags themselves are atomics.
	std::mutex m_pause_mutex;
	std::condition_variable m_pause_condvar;

	// The texts behind ndi_tx's and p_failover_source's names, which point into them.
	std::string m_source_name;
	std::string m_group_name;
	std::string m_failover_name;
};

// Frames the send queues' bound has dropped in this process so far, per stream (0 full,
// 1 preview): counted by queue_frame, read by the virtual appliance to account for every
// frame the encoder handed out. Defined here, so a process without the frame path reads 0.
inline std::array<std::atomic<unsigned int>, 2> g_send_queue_bound_drops{};

inline unsigned int send_queue_bound_drops(bool prvw)
{
	return g_send_queue_bound_drops[prvw ? 1 : 0].load(std::memory_order_relaxed);
}
