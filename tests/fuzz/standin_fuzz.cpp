// Fuzz target: the stand-in runtime's decoding of what a local peer sends, on both sides.
// Byte 0 even: the rest is what a sender sends a receiver, after a valid introduction; the
// receiver reads every event from it. Byte 0 odd: the rest is what a receiver sends a real
// sender over its socket; the sender's metadata inbox and tally are read afterwards.
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <Processing.NDI.Lib.h>

#include "fuzz_sysroot.h"
#include "ndi_standin_rx.h"
#include "standin_paths.h"
#include "standin_wire.h"

using namespace ndi_standin;

namespace {

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

bool write_all(int fd, const uint8_t* p, size_t n)
{
	while (n > 0) {
		ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
		if (put < 0 && errno == EINTR)
			continue;  // libFuzzer's time-out timer interrupts calls
		if (put <= 0)
			return false;
		p += put;
		n -= static_cast<size_t>(put);
	}
	return true;
}

void to_receiver(const uint8_t* data, size_t size)
{
	int pair[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
		abort();
	MessageWriter hello(kMsgHello);
	hello.u32(kProtocolVersion);
	hello.str("fuzz");
	hello.opt_str(nullptr);
	hello.opt_str(nullptr);
	std::vector<uint8_t> intro = hello.finish();
	// Inputs are far below the socket buffer: everything is queued before the reader starts.
	check(write_all(pair[1], intro.data(), intro.size()) && write_all(pair[1], data, size));
	close(pair[1]);

	Receiver rx;
	check(rx.open_fd(pair[0], "fuzz", 0));
	for (int events = 0;; ++events) {
		RxEvent ev = rx.next(0);
		if (ev.kind == RxEvent::Kind::Video)
			check(ev.video.data.size() <= size);
		if (ev.kind == RxEvent::Kind::Audio)
			check(ev.audio.data.size() * 4 <= size);
		if (ev.kind == RxEvent::Kind::None || ev.kind == RxEvent::Kind::Disconnected)
			break;
		check(events <= static_cast<int>(size));
	}
}

struct Sender {
	NDIlib_send_instance_t instance = nullptr;
	std::string path;
};

Sender start_sender()
{
	fuzz_sysroot();
	const std::string dir = std::string(getenv("VEXO_SYSROOT")) + "/tmp";
	setenv("NDI_STANDIN_DIR", dir.c_str(), 1);
	Sender s;
	NDIlib_send_create_t settings("fuzz", nullptr, false, false);
	s.instance = NDIlib_send_create(&settings);
	check(s.instance != nullptr);
	std::vector<std::string> paths = list_socket_paths(dir);
	check(paths.size() == 1);
	s.path = paths[0];
	return s;
}

void to_sender(const Sender& sender, const uint8_t* data, size_t size)
{
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	check(sender.path.size() < sizeof addr.sun_path);
	memcpy(addr.sun_path, sender.path.c_str(), sender.path.size() + 1);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int r;
	do {
		r = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
	} while (r != 0 && errno == EINTR);
	check(fd >= 0 && r == 0);
	write_all(fd, data, size);  // the sender may hang up early on a broken header
	shutdown(fd, SHUT_WR);
	// The sender hangs up once it has read everything (or given up): then it is all handled.
	uint8_t sink[4096];
	for (;;) {
		pollfd p{fd, POLLIN, 0};
		int n = poll(&p, 1, 5000);
		if (n < 0 && errno == EINTR)
			continue;
		check(n == 1);
		ssize_t got = recv(fd, sink, sizeof sink, 0);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			break;
	}
	close(fd);

	NDIlib_metadata_frame_t frame;
	for (size_t taken = 0; NDIlib_send_capture(sender.instance, &frame, 0) == NDIlib_frame_type_metadata; ++taken) {
		check(taken < 256);  // the inbox is bounded
		NDIlib_send_free_metadata(sender.instance, &frame);
	}
	NDIlib_tally_t tally;
	NDIlib_send_get_tally(sender.instance, &tally, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static Sender sender = start_sender();
	if (size == 0)
		return 0;
	if ((data[0] & 1) == 0)
		to_receiver(data + 1, size - 1);
	else
		to_sender(sender, data + 1, size - 1);
	return 0;
}
