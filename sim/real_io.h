// The libc entry points behind the wrapped calls, for the board and the models' own I/O.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// The linker's --wrap sends every call to open/close/read/write/ioctl made from our own
// objects to the dispatcher; the dispatcher and the models reach the real files through
// these names (FILE* and fstream work too: libc's internal calls are not wrapped).
extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real___open_2(const char* path, int flags);
int __real___open64_2(const char* path, int flags);
int __real_openat(int dirfd, const char* path, int flags, ...);
int __real_openat64(int dirfd, const char* path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real___read_chk(int fd, void* buf, size_t count, size_t buflen);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __real_ioctl(int fd, unsigned long request, ...);
void* __real_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off);
void* __real_mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off);
}
