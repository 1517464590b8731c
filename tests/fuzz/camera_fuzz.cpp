// Fuzz target: VISCA over IP datagrams and PTZ metadata frames into the camera controller.
// The first input byte picks the handler (even: datagram, odd: metadata), the rest is the
// datagram or the metadata text. A camera on a pseudo-terminal answers at once; how it
// answers (completion, error, stray bytes, an answer without its terminator) follows the
// third byte of each VISCA packet, so the fuzzer steers the engine's failure paths too.
#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "camcontrol.h"

// The handlers under test never reach the runtime; these only satisfy the link.
NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t, NDIlib_metadata_frame_t*, uint32_t)
{
	return NDIlib_frame_type_none;
}
void NDIlib_send_free_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}

namespace {

void camera(int master)
{
	std::vector<uint8_t> rx;
	uint8_t buf[256];
	for (;;) {
		pollfd pfd = {master, POLLIN, 0};
		if (poll(&pfd, 1, 100) <= 0)
			continue;
		ssize_t got = read(master, buf, sizeof buf);
		for (ssize_t i = 0; i < got; ++i) {
			rx.push_back(buf[i]);
			if (buf[i] != 0xFF && rx.size() < 32)
				continue;
			bool inquiry = rx.size() > 1 && rx[1] == 0x09;
			std::vector<uint8_t> answer;
			switch (rx.size() > 2 ? rx[2] & 3 : 0) {
			case 0:
				answer = inquiry ? std::vector<uint8_t>{0x90, 0x50, 0x02, 0xFF}
				                 : std::vector<uint8_t>{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF};
				break;
			case 1: answer = {0x90, 0x60, 0x02, 0xFF}; break;
			case 2: answer = {0x12, 0x34, 0xFF}; break;
			default: answer.assign(20, 0x90); break;
			}
			ssize_t put = write(master, answer.data(), answer.size());
			(void)put;
			rx.clear();
		}
	}
}

Camcontrol* setup()
{
	static Camcontrol* cc = new Camcontrol;  // lives for the whole run
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	grantpt(master);
	unlockpt(master);
	int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
	termios raw = {};
	tcgetattr(slave, &raw);
	cfmakeraw(&raw);
	tcsetattr(slave, TCSANOW, &raw);
	std::thread(camera, master).detach();

	cc->m_visca.cam_fd = slave;
	cc->m_visca.init_visca_command();
	// Answers go to a socket nobody reads; the kernel drops what does not fit.
	cc->sockfd = socket(AF_INET, SOCK_DGRAM, 0);
	int sink = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(sink, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
	socklen_t len = sizeof addr;
	getsockname(sink, reinterpret_cast<sockaddr*>(&addr), &len);
	cc->cliaddr = addr;
	return cc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static Camcontrol* cc = setup();
	if (size == 0)
		return 0;
	const uint8_t* body = data + 1;
	size_t length = size - 1;
	if ((data[0] & 1) == 0) {
		// As recvfrom would deliver it: at most the buffer, the rest of the buffer stale.
		length = std::min(length, sizeof cc->recv_buffer);
		memcpy(cc->recv_buffer, body, length);
		cc->recv_length = static_cast<int>(length);
		cc->camcontrol_voip_datagram();
	} else {
		// Exactly the text, with no terminator beyond it: the frame's length bounds it.
		std::vector<char> text(body, body + length);
		NDIlib_metadata_frame_t frame;
		frame.p_data = text.empty() ? nullptr : text.data();
		frame.length = static_cast<int>(text.size());
		if ((data[0] & 2) && !text.empty()) {
			text.push_back('\0');  // or terminated, without a length
			frame.p_data = text.data();
			frame.length = 0;
		}
		cc->camcontrol_capture_ndi(&frame);
	}
	return 0;
}
