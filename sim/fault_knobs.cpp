// Fault knobs of the board: device nodes that vanish or refuse opens, a dashboard reader that
// leaves between the program's open and its write, and a "/dev/mem" that cannot be mapped.
#include <errno.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board.h"
#include "real_io.h"

namespace {

const char* const kFaultNodes[] = {"i2c-0", "i2c-1", "mervane-speedhq"};
const char* const kDashboardPipe = "tmp/mervane-dashboard-pipe";

// What the program writes into lands in a real pipe whose only reader is closed right before
// the write, so the kernel answers as it does to a reader that gave up: EPIPE, and SIGPIPE to
// the writing thread. Each lost record is logged.
class LeavingReader : public sim::Device {
public:
	LeavingReader()
	{
		if (pipe2(fds_, O_CLOEXEC) != 0)
			fds_[0] = fds_[1] = -1;
	}
	~LeavingReader() override
	{
		for (int fd : fds_)
			if (fd >= 0)
				__real_close(fd);
	}
	ssize_t write(const void* buf, size_t count) override
	{
		if (fds_[0] >= 0) {
			__real_close(fds_[0]);
			fds_[0] = -1;
		}
		ssize_t n = __real_write(fds_[1], buf, count);
		int error = errno;
		if (n < 0)
			sim::Board::instance().event("dashboard", {{"lost", count}});
		else
			sim::Board::instance().event("dashboard");
		errno = error;
		return n;
	}

private:
	int fds_[2];
};

struct MemFault {
	std::mutex mutex;
	bool nomap = false;
	dev_t dev = 0;
	ino_t ino = 0;
};

MemFault& mem_fault()
{
	static auto* fault = new MemFault;  // reached by mmap calls after every static destructor
	return *fault;
}

// True when `fd` is the sysroot's dev/mem and mappings of it are to fail.
bool refuse_map(int fd)
{
	MemFault& f = mem_fault();
	std::lock_guard<std::mutex> lock(f.mutex);
	struct stat st;
	return f.nomap && fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == f.dev && st.st_ino == f.ino;
}

void set_mem(sim::Board& board, const std::string& line)
{
	if (line != "ok" && line != "nomap") {
		board.event("board", {{"error", "mem: unknown setting " + line}});
		return;
	}
	MemFault& f = mem_fault();
	{
		std::lock_guard<std::mutex> lock(f.mutex);
		struct stat st;
		f.nomap = line == "nomap" && stat(board.path("dev/mem").c_str(), &st) == 0;
		if (f.nomap) {
			f.dev = st.st_dev;
			f.ino = st.st_ino;
		}
	}
	board.event("mem", {{"control", line}});
}

void install(sim::Board& board)
{
	for (const char* node : kFaultNodes) {
		std::string name = node;
		board.add_control("dev-" + name, "present", [&board, name](const std::string& line) {
			int error = line == "present" ? 0 : line == "missing" ? ENOENT : line == "denied" ? EACCES : -1;
			if (error < 0) {
				board.event("board", {{"error", "dev-" + name + ": unknown setting " + line}});
				return;
			}
			board.set_open_fault(name, error);
			board.event(name, {{"node", line}});
		});
	}
	board.add_control("dashboard", "normal", [&board](const std::string& line) {
		if (line == "leaving")
			board.serve_file(kDashboardPipe, [] { return std::make_shared<LeavingReader>(); });
		else if (line == "normal")
			board.unserve_file(kDashboardPipe);
		else {
			board.event("board", {{"error", "dashboard: unknown setting " + line}});
			return;
		}
		board.event("dashboard", {{"control", line}});
	});
	board.add_control("mem", "ok", [&board](const std::string& line) { set_mem(board, line); });
}

void uninstall(sim::Board&)
{
	std::lock_guard<std::mutex> lock(mem_fault().mutex);
	mem_fault().nomap = false;
}

sim::ModelRegistrar registrar __attribute__((init_priority(200)))({"faults", install, uninstall});

}  // namespace

// mmap from our own objects: refused with EPERM for dev/mem while "nomap" is set, as a kernel
// that restricts /dev/mem refuses it; everything else goes to libc.
extern "C" {
void* __wrap_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
	if (refuse_map(fd)) {
		errno = EPERM;
		return MAP_FAILED;
	}
	return __real_mmap(addr, len, prot, flags, fd, off);
}

void* __wrap_mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off)
{
	if (refuse_map(fd)) {
		errno = EPERM;
		return MAP_FAILED;
	}
	return __real_mmap64(addr, len, prot, flags, fd, off);
}
}
