// The bare frame loop that scripts/bench.sh holds the program against: on the virtual
// appliance's board, one thread makes the acquisition's device requests, reads each frame
// into one of two reused buffers per stream and hands it to the NDI runtime as the send
// threads do. Two, because the runtime holds the buffer last sent until the stream's next
// send returns: the next frame is read into the other one.
// Nothing else: no queues, no settings, audio or camera threads.
//
//   VEXO_SYSROOT=DIR NDI_STANDIN_DIR=DIR/ndi bare_loop 2160p30|1080p59.94 [--no-targets]
//
// Runs until SIGINT. The source name is "HDMI", as the program's is by default.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <Processing.NDI.Lib.h>

#include "board.h"
#include "encoder_model.h"
#include "mervane_speedhq.h"
#include "web_settings.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_sigint(int)
{
	g_stop = 1;
}

namespace Enc = mervane_speedhq;

int request(int fd, unsigned long req, int32_t value)
{
	return ioctl(fd, req, &value);
}

// Reads the selected frame into `buf` (grown, never shrunk) and checks its header.
bool read_frame(int fd, int32_t selection, std::vector<uint8_t>& buf, int& size)
{
	if (request(fd, Enc::kReadSelect, selection) == -1)
		return false;
	int32_t n = 0;
	if (ioctl(fd, Enc::kFrameSize, &n) == -1 || n <= 0)
		return false;
	if (buf.size() < static_cast<size_t>(n))
		buf.resize(static_cast<size_t>(n));
	if (read(fd, buf.data(), static_cast<size_t>(n)) != n)
		return false;
	size = n;
	return buf[0] <= 99 && buf[1] == 4 && buf[2] == 0 && buf[3] == 0;
}

}  // namespace

int main(int argc, char** argv)
{
	const char* root = getenv("VEXO_SYSROOT");
	const std::string format = argc > 1 ? argv[1] : "1080p59.94";
	const bool uhd = format == "2160p30";
	// --no-targets: the encoder's frames as they come, unstuffed, as the loop first measured.
	const bool targets = !(argc > 2 && strcmp(argv[2], "--no-targets") == 0);
	if (root == nullptr || root[0] != '/' || (!uhd && format != "1080p59.94") || argc > 2 + !targets) {
		fprintf(stderr, "usage: VEXO_SYSROOT=DIR bare_loop 2160p30|1080p59.94 [--no-targets]\n");
		return 2;
	}
	setvbuf(stdout, nullptr, _IOLBF, 0);
	signal(SIGINT, on_sigint);
	mkdir((std::string(root) + "/sim").c_str(), 0755);
	std::ofstream(std::string(root) + "/sim/hdmi", std::ios::trunc) << format << "\n";
	sim::Board::instance().start(root);

	NDIlib_initialize();
	NDIlib_send_create_t create("HDMI", nullptr, true, true);
	NDIlib_send_instance_t sender = NDIlib_send_create(&create);
	const int fd = open((std::string(root) + "/dev/mervane-speedhq").c_str(), O_RDWR);
	if (sender == nullptr || fd < 0) {
		fprintf(stderr, "bare_loop: no sender or no encoder device\n");
		return 1;
	}
	// The requests of an encode start, then the release of the acquisition thread.
	ioctl(fd, Enc::kHold);
	request(fd, Enc::kUvSwap, 0);
	request(fd, Enc::kDci, 0);
	request(fd, Enc::kMode, uhd ? 0 : 2);
	request(fd, Enc::kEnable4k, uhd ? 1 : 0);
	request(fd, Enc::kPixFormat420, 0);
	pthread_setname_np(pthread_self(), "vexo-bare");
	ioctl(fd, Enc::kRelease);

	NDIlib_video_frame_v2_t full;
	full.xres = uhd ? 3840 : 1920;
	full.yres = uhd ? 2160 : 1080;
	full.FourCC = NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
	full.frame_rate_N = uhd ? 30000 : 60000;
	full.frame_rate_D = uhd ? 1000 : 1001;
	full.picture_aspect_ratio = 16.0f / 9.0f;
	NDIlib_video_frame_v2_t prvw = full;
	prvw.xres = 640;
	prvw.yres = 360;
	prvw.FourCC = NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;
	prvw.frame_rate_N = uhd ? 30000 : 30000;
	prvw.frame_rate_D = uhd ? 1000 : 1001;
	const bool skip_preview = !uhd;  // 1080p59.94: a preview every second frame

	// The rate targets the program asks for at Auto, so that the encoder stuffs the same
	// frames to the same sizes for both.
	if (targets) {
		ioctl(fd, Enc::kHold);
		request(fd, Enc::kBitRate, NDIlib_send_get_target_frame_size(sender, &full));
		request(fd, Enc::kBitRatePrev, target_to_int(frame_target(kLivePreviewBytesPerSecond, frames_per_second(prvw))));
		ioctl(fd, Enc::kRelease);
	}

	std::vector<uint8_t> full_bufs[2], prvw_bufs[2];
	uint32_t status[6];
	bool prev_skip = true;
	unsigned long frames = 0;
	while (!g_stop) {
		if (request(fd, Enc::kReadSelect, Enc::kSelectStatus) == -1)
			break;
		const ssize_t buffer = read(fd, status, 6);
		if (buffer < 1 || buffer > 5 || static_cast<ssize_t>(status[4]) == buffer)
			continue;
		int size = 0;
		std::vector<uint8_t>& full_buf = full_bufs[frames & 1];
		if (!read_frame(fd, Enc::kSelectFull, full_buf, size))
			continue;
		full.p_data = full_buf.data();
		full.data_size_in_bytes = size;
		NDIlib_send_send_video_async_v2(sender, &full);
		++frames;
		if (prev_skip && skip_preview) {
			prev_skip = false;
			continue;
		}
		prev_skip = true;
		std::vector<uint8_t>& prvw_buf = prvw_bufs[prvw.p_data == prvw_bufs[0].data() ? 1 : 0];
		if (!read_frame(fd, Enc::kSelectPreview, prvw_buf, size))
			continue;
		prvw.p_data = prvw_buf.data();
		prvw.data_size_in_bytes = size;
		NDIlib_send_send_video_async_v2(sender, &prvw);
	}
	NDIlib_send_send_video_async_v2(sender, nullptr);
	ioctl(fd, Enc::kHold);
	close(fd);
	NDIlib_send_destroy(sender);
	NDIlib_destroy();
	printf("bare_loop: %lu program frames sent\n", frames);
	sim::Board::instance().stop();
	return 0;
}
