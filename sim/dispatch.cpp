// The wrapped POSIX calls: descriptors of served device nodes go to their Device, all else to libc.
#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <stdarg.h>
#include <unordered_map>

#include "board.h"
#include "real_io.h"

extern "C" void __chk_fail(void) __attribute__((noreturn));

namespace {

// Descriptors below this have a lock-free "maybe mapped" flag, so the program's ordinary
// reads and writes (pipes, files, sockets) never take the table lock.
constexpr int kHintSize = 4096;

// The table of served descriptors. Each is a real descriptor of /dev/null, so the number is
// the kernel's, never reused while we hold it, and harmless if it leaks into a child.
// `mutex` protects `devices`; a Device is called with the lock released (reads may block).
struct FdTable {
	std::mutex mutex;
	std::unordered_map<int, std::shared_ptr<sim::Device>> devices;
	std::atomic<bool> hint[kHintSize] = {};
	std::atomic<bool> any_high{false};
};

FdTable& table()
{
	static FdTable* t = new FdTable;  // outlives every static destructor that may still close
	return *t;
}

bool maybe_mapped(int fd)
{
	if (fd < 0)
		return false;
	FdTable& t = table();
	if (fd < kHintSize)
		return t.hint[fd].load(std::memory_order_acquire);
	return t.any_high.load(std::memory_order_acquire);
}

std::shared_ptr<sim::Device> lookup(int fd)
{
	if (!maybe_mapped(fd))
		return nullptr;
	FdTable& t = table();
	std::lock_guard<std::mutex> lock(t.mutex);
	auto it = t.devices.find(fd);
	return it == t.devices.end() ? nullptr : it->second;
}

// Opens `path` as a served node when it is one: a descriptor (>= 0), or -1 with errno set;
// -2 when the path is not served and libc must open it.
int open_served(const char* path, int flags)
{
	std::shared_ptr<sim::Device> device;
	int error = 0;
	if (!sim::Board::instance().open_node(path, &device, &error))
		return -2;
	if (device == nullptr) {
		errno = error;
		return -1;
	}
	int fd = __real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
	if (fd < 0)
		return -1;
	FdTable& t = table();
	std::lock_guard<std::mutex> lock(t.mutex);
	t.devices[fd] = std::move(device);
	if (fd < kHintSize)
		t.hint[fd].store(true, std::memory_order_release);
	else
		t.any_high.store(true, std::memory_order_release);
	return fd;
}

// Removes `fd` from the table; true when it was a served descriptor.
bool forget(int fd)
{
	if (!maybe_mapped(fd))
		return false;
	std::shared_ptr<sim::Device> device;
	FdTable& t = table();
	{
		std::lock_guard<std::mutex> lock(t.mutex);
		auto it = t.devices.find(fd);
		if (it == t.devices.end())
			return false;
		device = std::move(it->second);
		t.devices.erase(it);
		if (fd < kHintSize)
			t.hint[fd].store(false, std::memory_order_release);
	}
	// The Device is released here, outside the lock, in case its destructor joins a thread.
	return true;
}

// open() takes a mode only with O_CREAT or O_TMPFILE; reading it otherwise is undefined.
bool wants_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

// Reads open()'s optional mode argument; it has to be read in the wrapper's own frame.
#define OPEN_MODE_ARG(flags, mode)                  \
	mode_t mode = 0;                                \
	if (wants_mode(flags)) {                        \
		va_list args;                               \
		va_start(args, flags);                      \
		mode = static_cast<mode_t>(va_arg(args, int)); \
		va_end(args);                               \
	}

extern "C" {

int __wrap_open(const char* path, int flags, ...)
{
	OPEN_MODE_ARG(flags, mode);
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...)
{
	OPEN_MODE_ARG(flags, mode);
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real_open64(path, flags, mode);
}

// The _FORTIFY_SOURCE forms, used when the compiler knows no mode is passed.
int __wrap___open_2(const char* path, int flags)
{
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real___open_2(path, flags);
}

int __wrap___open64_2(const char* path, int flags)
{
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real___open64_2(path, flags);
}

// Served nodes are matched by absolute path, which openat ignores the directory for.
int __wrap_openat(int dirfd, const char* path, int flags, ...)
{
	OPEN_MODE_ARG(flags, mode);
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real_openat(dirfd, path, flags, mode);
}

int __wrap_openat64(int dirfd, const char* path, int flags, ...)
{
	OPEN_MODE_ARG(flags, mode);
	int fd = open_served(path, flags);
	return fd != -2 ? fd : __real_openat64(dirfd, path, flags, mode);
}

int __wrap_close(int fd)
{
	forget(fd);
	return __real_close(fd);
}

ssize_t __wrap_read(int fd, void* buf, size_t count)
{
	std::shared_ptr<sim::Device> device = lookup(fd);
	return device ? device->read(buf, count) : __real_read(fd, buf, count);
}

ssize_t __wrap___read_chk(int fd, void* buf, size_t count, size_t buflen)
{
	std::shared_ptr<sim::Device> device = lookup(fd);
	if (!device)
		return __real___read_chk(fd, buf, count, buflen);
	if (count > buflen)
		__chk_fail();
	return device->read(buf, count);
}

ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
	std::shared_ptr<sim::Device> device = lookup(fd);
	return device ? device->write(buf, count) : __real_write(fd, buf, count);
}

// ioctl's third argument is always passed as one word (glibc forwards it unseen as well);
// requests without one just leave the value unused.
int __wrap_ioctl(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void* arg = va_arg(args, void*);
	va_end(args);
	std::shared_ptr<sim::Device> device = lookup(fd);
	return device ? device->ioctl(request, arg) : __real_ioctl(fd, request, arg);
}

#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
// With 64-bit time on a 32-bit target glibc redirects ioctl to __ioctl_time64.
int __real___ioctl_time64(int fd, unsigned long request, ...);

int __wrap___ioctl_time64(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void* arg = va_arg(args, void*);
	va_end(args);
	std::shared_ptr<sim::Device> device = lookup(fd);
	return device ? device->ioctl(request, arg) : __real___ioctl_time64(fd, request, arg);
}
#endif

}  // extern "C"
