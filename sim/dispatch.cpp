// Placeholder dispatcher until the virtual appliance lands: every call reaches libc.
#include <fcntl.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
int __real_open(const char*, int, ...);
int __real_open64(const char*, int, ...);
int __real___open_2(const char*, int);
int __real___open64_2(const char*, int);
int __real_openat(int, const char*, int, ...);
int __real_openat64(int, const char*, int, ...);
int __real_close(int);
ssize_t __real_read(int, void*, size_t);
ssize_t __real___read_chk(int, void*, size_t, size_t);
ssize_t __real_write(int, const void*, size_t);
int __real_ioctl(int, unsigned long, ...);

int __wrap_open(const char* p, int f, ...) { va_list a; va_start(a, f); mode_t m = va_arg(a, mode_t); va_end(a); return __real_open(p, f, m); }
int __wrap_open64(const char* p, int f, ...) { va_list a; va_start(a, f); mode_t m = va_arg(a, mode_t); va_end(a); return __real_open64(p, f, m); }
int __wrap___open_2(const char* p, int f) { return __real___open_2(p, f); }
int __wrap___open64_2(const char* p, int f) { return __real___open64_2(p, f); }
int __wrap_openat(int d, const char* p, int f, ...) { va_list a; va_start(a, f); mode_t m = va_arg(a, mode_t); va_end(a); return __real_openat(d, p, f, m); }
int __wrap_openat64(int d, const char* p, int f, ...) { va_list a; va_start(a, f); mode_t m = va_arg(a, mode_t); va_end(a); return __real_openat64(d, p, f, m); }
int __wrap_close(int fd) { return __real_close(fd); }
ssize_t __wrap_read(int fd, void* b, size_t n) { return __real_read(fd, b, n); }
ssize_t __wrap___read_chk(int fd, void* b, size_t n, size_t bl) { return __real___read_chk(fd, b, n, bl); }
ssize_t __wrap_write(int fd, const void* b, size_t n) { return __real_write(fd, b, n); }
int __wrap_ioctl(int fd, unsigned long r, ...) { va_list a; va_start(a, r); void* p = va_arg(a, void*); va_end(a); return __real_ioctl(fd, r, p); }
}
