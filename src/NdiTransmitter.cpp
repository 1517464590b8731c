// NdiTransmitter: encoder device, frame acquisition, send queues, NDI sender and live settings.
#include "NdiTransmitter.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SplashScreenHandler.h"
#include "Utils.h"
#include "jsonstring.h"
#include "mervane_av_format.h"
#include "mervane_speedhq.h"
#include "thread_start.h"
#include "vexo_path.h"
#include "web_settings.h"

// NDI configuration vendor block; the identifier is the maker's NDI vendor GUID.
static const char* const kVendorBlock = "\"vendor\":{\"name\":\"Mer-Vane\",\"id\":\"5E0C7A2B-41D9-4F36-9A8E-3B17C06D2F54\"}";

NdiTransmitter::NdiTransmitter()
	: p_config_json(kVendorBlock), ndi_tx(nullptr, nullptr, true, true), p_failover_source(nullptr, nullptr)
{
}

NdiTransmitter::~NdiTransmitter() = default;

// ---------------------------------------------------------------------------------------
// Encoder device and encode start/stop

// The encoder device's requests, selections and status record (mervane_speedhq.h).
namespace enc = mervane_speedhq;

static int encoder_request(int fd, unsigned long request, int32_t value)
{
	return ioctl(fd, request, &value);
}

void NdiTransmitter::map_NdiTransmitter_mem(int map_fd)
{
	(void)map_fd;  // The encoder maps nothing: frames are copied out with read.
	puts("Open m_mervanespeedhqDevice");
	m_mervanespeedhqDevice = open(vexo_path("/dev/mervane-speedhq").c_str(), O_RDWR);
	if (m_mervanespeedhqDevice < 0)
		puts("Failed to open the mervane-speedhq device");
	ioctl(m_mervanespeedhqDevice, enc::kHold);
	encoder_request(m_mervanespeedhqDevice, enc::kLowAc, 1);
	encoder_request(m_mervanespeedhqDevice, enc::kSwitchBuff, 1);
}

void NdiTransmitter::unmap_NdiTransmitter_mem()
{
	ioctl(m_mervanespeedhqDevice, enc::kHold);
	puts("Close m_mervanespeedhqDevice");
	if (m_mervanespeedhqDevice != -1) {
		close(m_mervanespeedhqDevice);
		m_mervanespeedhqDevice = -1;
	}
}

void NdiTransmitter::start_encode(int vid_format, int video_uv_vu_en)
{
	// A device that was missing at start (driver loaded late) is opened at the next start.
	if (m_mervanespeedhqDevice < 0)
		map_NdiTransmitter_mem(-1);
	const int fd = m_mervanespeedhqDevice;
	puts("Setup encode");
	ioctl(fd, enc::kHold);
	encoder_request(fd, enc::kUvSwap, video_uv_vu_en);
	encoder_request(fd, enc::kDci, 0);
	printf("video format passed %x\n", vid_format);

	int encoder_mode = enc::kMode1080p;
	int video_2k_4k_en = 0;
	switch (vid_format) {
	case video_format_2160_23_95p:
	case video_format_2160_24p:
	case video_format_2160_25p:
	case video_format_2160_29p:
	case video_format_2160_30p:
		encoder_mode = enc::kMode2160p;
		video_2k_4k_en = 1;
		break;
	case video_format_720_50p:
	case video_format_720_59p:
	case video_format_720_60p:
		encoder_mode = enc::kMode720p;
		break;
	case video_format_1080_25i:
	case video_format_1080_29i:
	case video_format_1080_30i:
		encoder_mode = enc::kMode1080i;
		break;
	default:
		break;
	}
	encoder_request(fd, enc::kMode, encoder_mode);
	encoder_request(fd, enc::kEnable4k, video_2k_4k_en);

	// A hold-release-hold cycle makes the encoder take the new settings; it stays held until
	// the acquisition thread releases it.
	ioctl(fd, enc::kHold);
	usleep(50000);
	ioctl(fd, enc::kRelease);
	usleep(50000);
	ioctl(fd, enc::kHold);
	usleep(50000);

	puts("setup_video_frame");
	setup_video_frame(vid_format);
	puts("startencodeThreads");
	startencodeThreads();
	puts("creat_encode_threads");
	creat_encode_threads();
}

void NdiTransmitter::stop_encode()
{
	puts("stopencodeThreads");
	stopencodeThreads();
	puts("distroy_encode_threads");
	distroy_encode_threads();
	ioctl(m_mervanespeedhqDevice, enc::kHold);
}

// One row of the format table: full raster and rates, preview rates, fields and skipping.
struct VideoFormatRow {
	int code;
	int xres, yres;
	int full_n, full_d;
	int prev_n, prev_d;
	bool fields;
	bool skip_prev;
};

static const VideoFormatRow kVideoFormats[] = {
	{video_format_1080_23_95p, 1920, 1080, 24000, 1001, 30000, 1001, false, false},
	{video_format_1080_24p, 1920, 1080, 24000, 1000, 24000, 1000, false, false},
	{video_format_1080_25p, 1920, 1080, 30000, 1200, 30000, 1200, false, false},
	{video_format_1080_29p, 1920, 1080, 30000, 1001, 30000, 1001, false, false},
	{video_format_1080_30p, 1920, 1080, 30000, 1000, 30000, 1000, false, false},
	{video_format_720_50p, 1280, 720, 60000, 1200, 30000, 1200, false, true},
	{video_format_720_59p, 1280, 720, 60000, 1001, 30000, 1001, false, true},
	{video_format_720_60p, 1280, 720, 60000, 1000, 30000, 1000, false, true},
	{video_format_1080_25i, 1920, 540, 30000, 1200, 30000, 1200, true, true},
	{video_format_1080_29i, 1920, 540, 30000, 1001, 30000, 1001, true, true},
	{video_format_1080_30i, 1920, 540, 30000, 1000, 30000, 1000, true, true},
	{video_format_1080_50p, 1920, 1080, 60000, 1200, 30000, 1200, false, true},
	{video_format_1080_59p, 1920, 1080, 60000, 1001, 30000, 1001, false, true},
	{video_format_1080_60p, 1920, 1080, 60000, 1000, 30000, 1000, false, true},
	{video_format_2160_23_95p, 3840, 2160, 24000, 1001, 24000, 1001, false, false},
	{video_format_2160_24p, 3840, 2160, 24000, 1000, 24000, 1000, false, false},
	{video_format_2160_25p, 3840, 2160, 30000, 1200, 30000, 1200, false, false},
	{video_format_2160_29p, 3840, 2160, 30000, 1001, 30000, 1001, false, false},
	{video_format_2160_30p, 3840, 2160, 30000, 1000, 30000, 1000, false, false},
};

// 16:9, as every frame of both streams is announced.
static const float kAspect16by9 = 16.0f / 9.0f;

void NdiTransmitter::setup_video_frame(int vid_format)
{
	ioctl(m_mervanespeedhqDevice, enc::kPixFormat420, &encoder_pix_format_420);
	puts(encoder_pix_format_420 == 1 ? "SET PROG SR 420" : "SET PROG SR 422");

	prog_info_frame.FourCC = encoder_pix_format_420 == 1 ? NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth
	                                                     : NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
	prog_info_frame.frame_format_type = NDIlib_frame_format_type_progressive;
	prog_info_frame.picture_aspect_ratio = kAspect16by9;
	prog_info_frame.data_size_in_bytes = 0;

	prev_info_frame.xres = 640;
	prev_info_frame.yres = 360;
	prev_info_frame.FourCC = NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;
	prev_info_frame.frame_format_type = NDIlib_frame_format_type_progressive;
	prev_info_frame.picture_aspect_ratio = kAspect16by9;

	for (const VideoFormatRow& row : kVideoFormats) {
		if (row.code != vid_format)
			continue;
		prog_info_frame.xres = row.xres;
		prog_info_frame.yres = row.yres;
		prog_info_frame.frame_rate_N = row.full_n;
		prog_info_frame.frame_rate_D = row.full_d;
		prev_info_frame.frame_rate_N = row.prev_n;
		prev_info_frame.frame_rate_D = row.prev_d;
		interlaced_field = row.fields;
		skip_prev_frame_en = row.skip_prev;
		break;
	}
}

void NdiTransmitter::startencodeThreads()
{
	encodeRunning = true;
}

void NdiTransmitter::stopencodeThreads()
{
	encodeRunning = false;
	wake_pauses();
}

bool NdiTransmitter::pause_while(const std::atomic<bool>& run_flag, std::chrono::milliseconds duration)
{
	std::unique_lock<std::mutex> lock(m_pause_mutex);
	return !m_pause_condvar.wait_for(lock, duration, [&] { return !run_flag.load(); });
}

void NdiTransmitter::wake_pauses()
{
	{
		std::lock_guard<std::mutex> lock(m_pause_mutex);
	}
	m_pause_condvar.notify_all();
}

// ---------------------------------------------------------------------------------------
// Frame acquisition

// Ends the send threads: an end marker in the queue of each that is asked for. Full before
// preview is the only lock order.
static void post_end_markers(NdiTransmitter& tx, bool full, bool prvw)
{
	std::unique_lock<std::mutex> full_lock(tx.m_ndi_full_send_queue_lock);
	if (full) {
		tx.m_ndi_full_send_queue.push(nullptr);
		tx.m_ndi_full_send_queue_condvar.notify_one();
	}
	std::unique_lock<std::mutex> prvw_lock(tx.m_ndi_prvw_send_queue_lock);
	full_lock.unlock();
	if (prvw) {
		tx.m_ndi_prvw_send_queue.push(nullptr);
		tx.m_ndi_prvw_send_queue_condvar.notify_one();
	}
}

void NdiTransmitter::wait_ndi_frame()
{
	const int fd = m_mervanespeedhqDevice;
	// Named so that the frame path's threads can be told apart in /proc/<pid>/task.
	pthread_setname_np(pthread_self(), "vexo-acquire");
	puts("START send_video_frame");
	ioctl(fd, enc::kRelease);
	bool prev_skip = true;
	init_frame_drop = 0;
	std::unique_ptr<uint32_t[]> status(new uint32_t[enc::kStatusWords]());

	do {
		if (encoder_request(fd, enc::kReadSelect, enc::kSelectStatus) == -1) {
			puts("err ");
			// Without a device every pass fails at once; pausing about a frame period keeps
			// the loop from burning a core and flooding the log until encoding stops.
			usleep(20000);
			continue;
		}
		const int current_read_buffer = static_cast<int>(read(fd, status.get(), enc::kStatusWords));
		if (current_read_buffer < 1 || current_read_buffer > enc::kBufferCount) {
			printf("Buffer %d \n", current_read_buffer);
			puts("!!!!!!!!!!!!!!!!!!!!!!!!!!!!NOVALID FRAME");
			if (current_read_buffer > enc::kBufferCount) {
				ioctl(fd, enc::kHold);
				usleep(100000);
				ioctl(fd, enc::kRelease);
				usleep(100000);
			}
			continue;
		}
		if (static_cast<int>(status[enc::kStatusRepeatWord]) == current_read_buffer) {
			printf("Buffer %d \n", current_read_buffer);
			puts("!!!!!!!!!!!!!!!!!!!!!!!!!!!!SAME FRAME");
			continue;
		}
		if (copy_full()) {
			if (prev_skip && skip_prev_frame_en) {
				prev_skip = false;
			} else {
				copy_prvw();
				prev_skip = true;
			}
		}
	} while (encodeRunning);

	status.reset();
	post_end_markers(*this, true, true);
	puts("END send_video_frame");
}

// Reads the selected frame into a buffer of exactly its size and checks its SpeedHQ header
// (a quality byte below 100, then the 24-bit little-endian value 4). `frame` already carries
// its description; false leaves it without data.
static bool read_encoded_frame(int fd, const NDIlib_video_frame_v2_t& info, NdiTransmitter::frame_t& frame,
                               bool interlaced)
{
	int32_t frame_data_size = 0;
	if (ioctl(fd, enc::kFrameSize, &frame_data_size) == -1)
		return false;
	// A SpeedHQ frame never comes near 4 bytes a pixel; a size beyond that, or none, is a
	// device fault, and allocating it could exhaust the appliance's memory. No accepted frame
	// exceeds kMaxFrameBytes, which the heap set-up (frame_heap.h) relies on.
	const long long raster = info.xres > 0 && info.yres > 0
	                             ? std::min(static_cast<long long>(info.xres) * info.yres, NdiTransmitter::kLargestRaster)
	                             : NdiTransmitter::kLargestRaster;
	if (frame_data_size <= 0 || frame_data_size > NdiTransmitter::kMaxBytesPerPixel * raster)
		return false;
	frame.frame_data_size = frame_data_size;
	frame.frame_data.reset(new (std::nothrow) uint8_t[frame_data_size]);
	if (!frame.frame_data)
		return false;
	const ssize_t got = read(fd, frame.frame_data.get(), frame_data_size);
	if (got != frame_data_size)
		return false;

	frame.frame_format_type = NDIlib_frame_format_type_progressive;
	if (interlaced) {
		int32_t field = 0;
		if (ioctl(fd, enc::kField, &field) == -1)
			return false;
		frame.frame_format_type = (field & 1) ? NDIlib_frame_format_type_field_1 : NDIlib_frame_format_type_field_0;
	}

	return enc::frame_header_ok(frame.frame_data.get(), frame.frame_data_size);
}

static std::shared_ptr<NdiTransmitter::frame_t> described_frame(const NDIlib_video_frame_v2_t& info)
{
	auto frame = std::make_shared<NdiTransmitter::frame_t>();
	frame->xres = info.xres;
	frame->yres = info.yres;
	frame->frame_rate_N = info.frame_rate_N;
	frame->frame_rate_D = info.frame_rate_D;
	frame->FourCC = info.FourCC;
	frame->picture_aspect_ratio = info.picture_aspect_ratio;
	return frame;
}

bool NdiTransmitter::copy_full()
{
	const int fd = m_mervanespeedhqDevice;
	if (encoder_request(fd, enc::kReadSelect, enc::kSelectFull) == -1)
		return false;
	std::shared_ptr<frame_t> frame = described_frame(prog_info_frame);
	if (!read_encoded_frame(fd, prog_info_frame, *frame, interlaced_field))
		return false;
	if (init_frame_drop >= init_frame_drop_count)
		queue_frame(frame, false);
	if (init_frame_drop < init_frame_drop_count)
		++init_frame_drop;
	return true;
}

void NdiTransmitter::copy_prvw()
{
	const int fd = m_mervanespeedhqDevice;
	if (encoder_request(fd, enc::kReadSelect, enc::kSelectPreview) == -1)
		return;
	std::shared_ptr<frame_t> frame = described_frame(prev_info_frame);
	if (!read_encoded_frame(fd, prev_info_frame, *frame, false))
		return;
	if (init_frame_drop >= init_frame_drop_count)
		queue_frame(frame, true);
}

// ---------------------------------------------------------------------------------------
// Send queues and send threads

void NdiTransmitter::queue_frame(const std::shared_ptr<frame_t>& frame, bool prvw)
{
	std::mutex& lock = prvw ? m_ndi_prvw_send_queue_lock : m_ndi_full_send_queue_lock;
	std::queue<std::shared_ptr<frame_t>>& queue = prvw ? m_ndi_prvw_send_queue : m_ndi_full_send_queue;
	{
		std::lock_guard<std::mutex> guard(lock);
		queue.push(frame);
		// A late sender only ever sees the newest frames; older ones go without a word.
		while (static_cast<int>(queue.size()) > max_queue_size) {
			queue.pop();
			g_send_queue_bound_drops[prvw ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
		}
	}
	(prvw ? m_ndi_prvw_send_queue_condvar : m_ndi_full_send_queue_condvar).notify_one();
}

// The body of both send threads: send each queued frame until the end marker.
static void drain_send_queue(NdiTransmitter& tx, bool prvw)
{
	std::mutex& lock = prvw ? tx.m_ndi_prvw_send_queue_lock : tx.m_ndi_full_send_queue_lock;
	std::condition_variable& condvar = prvw ? tx.m_ndi_prvw_send_queue_condvar : tx.m_ndi_full_send_queue_condvar;
	std::queue<std::shared_ptr<NdiTransmitter::frame_t>>& queue =
		prvw ? tx.m_ndi_prvw_send_queue : tx.m_ndi_full_send_queue;
	for (;;) {
		std::shared_ptr<NdiTransmitter::frame_t> frame;
		{
			std::unique_lock<std::mutex> guard(lock);
			condvar.wait(guard, [&] { return !queue.empty(); });
			frame = queue.front();
			queue.pop();
		}
		if (!frame)
			break;
		tx.add_frame(frame, prvw);  // keeps the frame alive until the stream's next one is sent
	}
}

void NdiTransmitter::send_full()
{
	pthread_setname_np(pthread_self(), "vexo-send-full");
	drain_send_queue(*this, false);
	puts("send_full thread done!");
}

void NdiTransmitter::send_prvw()
{
	pthread_setname_np(pthread_self(), "vexo-send-prvw");
	drain_send_queue(*this, true);
	puts("send_prvw thread done!");
}

// Takes its own reference: the frame lives while the send needs it, whatever the caller does.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void NdiTransmitter::add_frame(std::shared_ptr<frame_t> frame, bool prvw)
{
	std::shared_ptr<frame_t>& sent_before = m_prev_video_frame[prvw ? 0 : 1];
	// The runtime may still read the previous frame's bytes until this send has returned.
	std::shared_ptr<frame_t> previous = sent_before;

	if (ndi_tx_inst == nullptr) {
		puts("sender DEAD");
		return;
	}

	NDIlib_video_frame_v2_t video_frame;
	video_frame.xres = frame->xres;
	video_frame.yres = frame->yres;
	video_frame.FourCC = frame->FourCC;
	video_frame.frame_rate_N = frame->frame_rate_N;
	video_frame.frame_rate_D = frame->frame_rate_D;
	video_frame.frame_format_type = frame->frame_format_type;
	video_frame.picture_aspect_ratio = kAspect16by9;
	if (frame->frame_data) {
		video_frame.p_data = frame->frame_data.get();
		video_frame.data_size_in_bytes = frame->frame_data_size;
	}

	std::atomic<bool>& capture = prvw ? m_bPrvwCaptureEnabled : m_bFullCaptureEnabled;
	if (capture && frame->frame_format_type == NDIlib_frame_format_type_progressive && frame->frame_data_size != 0) {
		// While captured frames are shown, the save copies this frame into the still buffers
		// in place, and the runtime may still hold the stills sent before encoding began (an
		// asynchronous send's buffer is the runtime's until the next send): a null frame
		// waits until it has let them go.
		NDIlib_send_send_video_async_v2(ndi_tx_inst, nullptr);
		if (SplashScreenHandler::GetInstance().SaveSplashScreen(video_frame, prvw,
		                                                        static_cast<short>(encoder_pix_format_420)))
			capture = false;
		printf(" The capture status full %d, prvw %d \n", m_bFullCaptureEnabled.load() ? 1 : 0,
		       m_bPrvwCaptureEnabled.load() ? 1 : 0);
	}

	NDIlib_send_send_video_async_v2(ndi_tx_inst, &video_frame);
	sent_before = frame;
}

void NdiTransmitter::creat_encode_threads()
{
	// A thread that cannot be made is left out; the stop joins only those that run.
	start_thread(encode_settings_thread, "encode_settings", &NdiTransmitter::encode_settings, this);
	tally_running = true;
	start_thread(get_tally_thread, "get_tally", &NdiTransmitter::get_tally, this);
	start_thread(wait_ndi_frame_thread, "wait_ndi_frame", &NdiTransmitter::wait_ndi_frame, this);
	start_thread(send_ndi_frame_prog_thread, "send_full", &NdiTransmitter::send_full, this);
	start_thread(send_ndi_frame_prev_thread, "send_prvw", &NdiTransmitter::send_prvw, this);
	puts("Encode Audio Created");
}

void NdiTransmitter::distroy_encode_threads()
{
	// The acquisition thread posts the send threads' end markers as it ends, so it goes first.
	// When it never started, they are posted here: a send thread that did start would wait
	// for its marker for ever.
	const bool full_ran = send_ndi_frame_prog_thread.joinable();
	const bool prvw_ran = send_ndi_frame_prev_thread.joinable();
	if (wait_ndi_frame_thread.joinable())
		wait_ndi_frame_thread.join();
	else
		post_end_markers(*this, full_ran, prvw_ran);
	puts("STOP wait_ndi_frame_thread");
	if (full_ran)
		send_ndi_frame_prog_thread.join();
	puts("STOP send_ndi_frame_prog_thread");
	if (prvw_ran)
		send_ndi_frame_prev_thread.join();
	puts("STOP send_ndi_frame_prev_thread");
	// A queue whose send thread never ran still holds what the acquisition posted to it, its
	// end marker among it; the next run must find it empty.
	if (!full_ran) {
		std::lock_guard<std::mutex> lock(m_ndi_full_send_queue_lock);
		m_ndi_full_send_queue = {};
	}
	if (!prvw_ran) {
		std::lock_guard<std::mutex> lock(m_ndi_prvw_send_queue_lock);
		m_ndi_prvw_send_queue = {};
	}
	if (encode_settings_thread.joinable())
		encode_settings_thread.join();
	tally_running = false;
	wake_pauses();
	puts("STOP encode_settings_thread");
	if (get_tally_thread.joinable())
		get_tally_thread.join();
	audio_en = false;
	puts("STOP get_tally_thread");
	if (send_audio_frame_thread.joinable())
		send_audio_frame_thread.join();
	puts("STOP send_audio_frame_thread");
}

// ---------------------------------------------------------------------------------------
// NDI sender

namespace ndi_sender {
const char* const MV_NDI_ENC_SETTINGS_FILE = "/etc/mervane-enc1-settings.json";
const char* const MV_NDI_FIND_SETTINGS_FILE = "/etc/mervane-ndinet-find-settings.json";
const char* const MV_NDI_TX_SETTINGS_FILE = "/etc/mervane-ndinet-tx-settings.json";
const char* const MV_NDI_FAILOVER_FILE = "/etc/mervane-source1-name-encfailover";
const char* const MV_NDI_ADDRESS_COMMAND = "ip addr show eth0 | grep 'inet ' | awk '{print $2}' | cut -f1 -d'/'";
const char* const MV_NDI_PRODUCT_XML =
	"<ndi_product long_name=\"Mer-Vane NDI sender\" short_name=\"Mer-Vane send\" manufacturer=\"Mer-Vane\" "
	"version=\"4.1\" session=\"default\" model_name=\"Orvel 4k\" serial=\"ABCDEFG\"/>";
const char* const MV_NDI_CAPABILITIES_FORMAT =
	"<ndi_capabilities ntk_ptz=\"true\" ntk_pan_tilt=\"true\" ntk_zoom=\"true\" ntk_iris=\"true\" "
	"ntk_white_balance=\"true\" ntk_exposure=\"true\" ntk_focus=\"true\" ntk_autofocus=\"true\" "
	"ntk_preset_speed=\"true\" web_control=\"http://%s/\"/>";

// The appliance's IPv4 address on eth0: the last line the address pipeline prints.
static std::string eth0_address()
{
	// NOLINTNEXTLINE(cert-env33-c): a fixed command of the image, no outside text in it
	FILE* pipe = popen(MV_NDI_ADDRESS_COMMAND, "r");
	if (pipe == nullptr) {
		puts("Failed to run command");
		exit(1);  // NOLINT(concurrency-mt-unsafe): the program's way out when it cannot learn its address
	}
	char line[1035];
	std::string address;
	while (fgets(line, sizeof(line), pipe) != nullptr) {
		printf("%s", line);
		address = line;
	}
	pclose(pipe);
	return address.substr(0, address.find('\n'));
}

// Sends one text to every receiver that connects; the runtime copies it.
static void add_connection_metadata(NDIlib_send_instance_t instance, std::string text)
{
	NDIlib_metadata_frame_t frame(0, NDIlib_send_timecode_synthesize, &text[0]);
	NDIlib_send_add_connection_metadata(instance, &frame);
}

// The value is the text after the file's last line end: the whole text without one, empty
// when the file ends with one. False when the file cannot be opened.
static bool get_failover_value(const std::string& filename, std::string& value)
{
	std::ifstream file(vexo_path(filename.c_str()), std::ios::in | std::ios::binary);
	if (!file.is_open())
		return false;
	std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
	size_t last_line_end = text.rfind('\n');
	value = last_line_end == std::string::npos ? text : text.substr(last_line_end + 1);
	return true;
}
}  // namespace ndi_sender

void NdiTransmitter::creat_ndi_tx_instance()
{
	puts("creat_ndi_tx_instance");
	encodeRunning = false;

	const std::string enc_settings = vexo_path(ndi_sender::MV_NDI_ENC_SETTINGS_FILE);
	const std::string find_settings = vexo_path(ndi_sender::MV_NDI_FIND_SETTINGS_FILE);
	std::string value;

	// The names live in members: ndi_tx keeps pointing at them after the creation call.
	m_source_name = "HDMI";
	if (GetJsonString(enc_settings, "StreamName", value)) {
		m_source_name = value;
		printf("NDI STREAM NAME: %s\n", m_source_name.c_str());
	}
	ndi_tx.p_ndi_name = m_source_name.c_str();

	ndi_tx.p_groups = nullptr;
	value.clear();
	if (GetJsonString(enc_settings, "NDIGroup", value) && value == "NDIGroupEn" &&
	    GetJsonString(enc_settings, "NDIGroupName", m_group_name)) {
		printf("NDI GROUP NAME: %s\n", m_group_name.c_str());
		ndi_tx.p_groups = m_group_name.c_str();
	}

	ndi_tx.clock_video = false;
	ndi_tx.clock_audio = false;

	std::string word;
	std::ifstream transport_file(vexo_path(ndi_sender::MV_NDI_TX_SETTINGS_FILE));
	if (transport_file.is_open())
		transport_file >> word;
	std::string stripped = strip_transport_word(word);
	printf("%s\n", stripped.c_str());
	transport_fields transport = split_transport_fields(stripped);

	std::string server;
	value.clear();
	bool discovery = GetJsonString(find_settings, "NDIDisServ", value) && value == "NDIDisServEn" &&
	                 GetJsonString(find_settings, "NDIDisServIP", server);
	// The runtime copies the configuration text during the creation call.
	const std::string config = build_ndi_config(transport, discovery ? server.c_str() : nullptr, p_config_json);
	printf("NDIConfigStream\n%s\n", config.c_str());

	ndi_tx_inst = NDIlib_send_create_v2(&ndi_tx, config.c_str());
	if (ndi_tx_inst == nullptr)
		printf("Cannot creat send instance");
	NDITxCreated = true;

	// Without an instance the runtime calls are skipped; the rest runs as usual.
	if (ndi_tx_inst != nullptr)
		ndi_sender::add_connection_metadata(ndi_tx_inst, ndi_sender::MV_NDI_PRODUCT_XML);

	std::string address = ndi_sender::eth0_address();
	char capabilities[256];
	snprintf(capabilities, sizeof(capabilities), ndi_sender::MV_NDI_CAPABILITIES_FORMAT, address.c_str());
	if (ndi_tx_inst != nullptr)
		ndi_sender::add_connection_metadata(ndi_tx_inst, capabilities);

	// A name from an earlier creation must not stay armed, nor point into a reused text.
	p_failover_source.p_ndi_name = nullptr;
	p_failover_source.p_url_address = nullptr;
	if (get_source_data(ndi_sender::MV_NDI_FAILOVER_FILE, m_failover_name) && m_failover_name != "None") {
		p_failover_source.p_ndi_name = m_failover_name.c_str();
		printf("failover source name: = '%s'\n", m_failover_name.c_str());
		if (ndi_tx_inst != nullptr)
			NDIlib_send_set_failover(ndi_tx_inst, &p_failover_source);
	}
}

void NdiTransmitter::distroy_ndi_tx_instance()
{
	if (ndi_tx_inst != nullptr)
		NDIlib_send_destroy(ndi_tx_inst);
	ndi_tx_inst = nullptr;
	NDITxCreated = false;
}

bool NdiTransmitter::check_source_name_None()
{
	std::string value;
	if (!ndi_sender::get_failover_value(ndi_sender::MV_NDI_FAILOVER_FILE, value)) {
		puts("/etc/mervane-fo-source-name file read failed.");
		return true;
	}
	return value.empty() || value == "None";
}

// The file is read with its fixed name, so that the message names it as the web UI knows it.
bool NdiTransmitter::get_source_data(const std::string& filename, std::string& data)
{
	data.clear();
	if (!ndi_sender::get_failover_value(filename, data) || data.empty()) {
		printf("%s file read failed.\n", filename.c_str());
		return false;
	}
	return true;
}

// ---------------------------------------------------------------------------------------
// Live settings

static const char* const kLiveEncSettingsFile = "/etc/mervane-enc1-settings.json";
static const char* const kLiveDeviceSettingsFile = "/etc/mervane-device-settings.json";

// The fixed quality values the settings thread sends.
static const int kLiveQualitySelect = 0;
static const int kLiveQualityFactor = 62;

void NdiTransmitter::encode_settings()
{
	const std::string enc_file = vexo_path(kLiveEncSettingsFile);
	const std::string device_file = vexo_path(kLiveDeviceSettingsFile);

	int prev_target = target_to_int(frame_target(kLivePreviewBytesPerSecond, frames_per_second(prev_info_frame)));
	float prog_target = frame_target(kLiveProgramBytesPerSecond, frames_per_second(prog_info_frame));
	puts("encode_settings");

	do {
		prev_target = target_to_int(frame_target(kLivePreviewBytesPerSecond, frames_per_second(prev_info_frame)));

		std::string mode;
		std::string value;
		if (GetJsonString(enc_file, "BandwidthMode", mode)) {
			if (mode == "Manual" && GetJsonString(enc_file, "BandwidthSelect", value))
				prog_target = manual_program_target(atoi(value.c_str()), frames_per_second(prog_info_frame),
				                                    interlaced_field);
			else if (ndi_tx_inst != nullptr)  // no sender, no recommendation: keep the last target
				prog_target = static_cast<float>(NDIlib_send_get_target_frame_size(ndi_tx_inst, &prog_info_frame));
		}
		bit_rate.store(target_to_int(prog_target), std::memory_order_relaxed);

		int q_sel = kLiveQualitySelect;
		int q_factor = kLiveQualityFactor;
		int prog_rate = bit_rate.load(std::memory_order_relaxed);
		int prev_rate = prev_target;
		ioctl(m_mervanespeedhqDevice, enc::kQSel, &q_sel);
		ioctl(m_mervanespeedhqDevice, enc::kQuality, &q_factor);
		ioctl(m_mervanespeedhqDevice, enc::kBitRate, &prog_rate);
		ioctl(m_mervanespeedhqDevice, enc::kBitRatePrev, &prev_rate);

		if (GetJsonString(enc_file, "NDIAudio", value)) {
			if (value == "NDIAudioMute") {
				if (audio_en) {
					puts("Encode Audio Disabled");
					audio_en = false;
					if (send_audio_frame_thread.joinable())
						send_audio_frame_thread.join();
				}
			} else if (!audio_en) {
				puts("Encode Audio Enabled");
				if (prog_info_frame.frame_rate_N != 0 && prog_info_frame.frame_rate_D != 0) {
					puts("Encode Audio active");
					// A thread that ended on its own (card missing) is still joinable.
					if (send_audio_frame_thread.joinable())
						send_audio_frame_thread.join();
					audio_en = true;
					// Without a thread the flag goes back, so the next pass tries again.
					if (!start_thread(send_audio_frame_thread, "send_audio_frame", &NdiTransmitter::send_audio_frame,
					                  this))
						audio_en = false;
				}
			}
			if (value == "NDIAudioMain")
				AudioInSel.store(1, std::memory_order_relaxed);
			else if (value == "NDIAudioAnalog")
				AudioInSel.store(0, std::memory_order_relaxed);
		}

		if (GetJsonString(device_file, "AnalogAudioInGain", value))
			AnalogAudioInGain.store(analog_in_gain_from_setting(atoi(value.c_str())), std::memory_order_relaxed);
		if (GetJsonString(device_file, "AnalogAudioOutGain", value))
			AnalogAudioOutGain.store(analog_out_gain_from_setting(atoi(value.c_str())), std::memory_order_relaxed);

		// The pause ends early when encoding stops, so a stop does not wait it out.
		pause_while(encodeRunning, std::chrono::seconds(1));
	} while (encodeRunning);

	puts("encode_settings done");
}

int NdiTransmitter::GetWebUIVideoFormat()
{
	std::string value;
	if (!GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoFormat", value) || value == "AUTO")
		return video_format_auto;
	// An unknown name forces no usable format: encoding stays off rather than guessing.
	return video_format_code(value.c_str());
}

int NdiTransmitter::GetWebUIVideoCSC()
{
	std::string value;
	if (GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoCSC", value) && value == "yvu")
		return 1;
	return 0;
}

int NdiTransmitter::GetWebUIVideoSampleRate()
{
	std::string value;
	if (GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoSampleRate", value) && value == "420")
		return 1;
	return 0;
}

// ---------------------------------------------------------------------------------------
// Tally

void NdiTransmitter::get_tally()
{
	// At least one pass, so a run always refreshes the state once.
	do {
		// Without a sender (its creation failed) there is nothing to ask; the lights keep
		// the last state until a run with a sender.
		if (ndi_tx_inst != nullptr) {
			NDIlib_tally_t tally = p_tally.load(std::memory_order_relaxed);
			NDIlib_send_get_tally(ndi_tx_inst, &tally, 1000);
			p_tally.store(tally, std::memory_order_relaxed);
		}
		pause_while(tally_running, std::chrono::milliseconds(200));
	} while (tally_running);
}

// ---------------------------------------------------------------------------------------
// Audio

void NdiTransmitter::send_audio_frame()
{
	AudioSupport& audio = ndi_AudioSupport;
	const char* card = audio.AlsaSndCardDeviceName;

	audio.NDI_audio_frame.sample_rate = AudioSampleRate;
	audio.NDI_audio_frame.no_channels = NumChannelsPerAudioDevice;
	audio.NDI_audio_frame.no_samples = AudioFramesPerRead;
	std::unique_ptr<float[]> samples(new float[AudioFloatSamples]);
	std::unique_ptr<unsigned char[]> raw(new unsigned char[AudioRawBufferBytes]);
	audio.NDI_audio_frame.p_data = samples.get();

	// Without a sender there is nowhere to send: leave the card closed and wait for the
	// flag to be cleared, as after a failed open.
	if (ndi_tx_inst == nullptr) {
		while (audio_en)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}

	int err = snd_pcm_open(&audio.m_pHeadsetAudioCaptureHandle, card, SND_PCM_STREAM_CAPTURE, 0);
	if (err < 0) {
		fprintf(stderr, "Failed to open headset audio device '%s': %s\n", card, snd_strerror(err));
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}
	printf("audio device '%s' is ready\n", card);

	err = audio.initialiseAudioDevice(audio.m_pHeadsetAudioCaptureHandle);
	if (err < 0) {
		fprintf(stderr, "Failed to initialise headset audio device '%s': %s\n", card, snd_strerror(err));
		snd_pcm_close(audio.m_pHeadsetAudioCaptureHandle);
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}
	printf("initialiseAudioDevice(%s) done\n", card);

	while (audio_en) {
		if (audio.readBlock(raw.get()) != AudioFramesPerRead)
			continue;  // short or failed read: the block is dropped
		audio.convertBlock(raw.get(), samples.get());
		NDIlib_util_send_send_audio_interleaved_32f(ndi_tx_inst, &audio.NDI_audio_frame);
	}

	audio.NDI_audio_frame.p_data = nullptr;
	samples.reset();
	raw.reset();
	if (audio.m_pHeadsetAudioCaptureHandle != nullptr) {
		err = snd_pcm_close(audio.m_pHeadsetAudioCaptureHandle);
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		if (err < 0)
			fprintf(stderr, "Failed to close headset audio device '%s': %s\n", card, snd_strerror(err));
		else
			puts("sound card shut down successfully");
	}
}

// ---------------------------------------------------------------------------------------
// Stills

bool NdiTransmitter::sentSplashScreen()
{
	static const char* const kStillChoiceFile = "/etc/mervane-enc1-settings.json";
	SplashScreenHandler& store = SplashScreenHandler::GetInstance();

	// Reloaded at every call, so a new choice or a new capture shows within one pass. With
	// the key absent the buffers keep what they hold.
	// The buffers are reloaded in place, and the runtime may still be reading the stills sent
	// last time (an asynchronous send's buffer is the runtime's until the next send): a null
	// frame waits until it has let them go.
	if (ndi_tx_inst != nullptr)
		NDIlib_send_send_video_async_v2(ndi_tx_inst, nullptr);

	std::string choice;
	if (GetJsonString(vexo_path(kStillChoiceFile), "ScreenSaverMode", choice)) {
		int nMode = black_screen;  // a word the web interface does not use shows black
		Utils::GetInstance().GetCaptureMode(choice.c_str(), nMode);
		store.UpdateSplashScreenBuffer(nMode);
	}

	if (ndi_tx_inst == nullptr) {
		puts("NDI sender instance is not valid");
		return false;
	}

	NDIlib_video_frame_v2_t still(0, 0, NDIlib_FourCC_video_type_UYVY, static_cast<int>(m_nFrameRateN),
	                              static_cast<int>(m_nFrameRateD), 16.0f / 9.0f,
	                              NDIlib_frame_format_type_progressive, NDIlib_send_timecode_synthesize,
	                              nullptr, 0, nullptr, 0);
	bool sent = false;
	// The store's buffers outlive the asynchronous send: they are only reloaded in place at
	// the next call, one pass later.
	if (store.FilleSplashScreenData(still, false)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	if (store.FilleSplashScreenData(still, true)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	return sent;
}
