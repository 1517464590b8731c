/* Preloaded into btnlatch by its test: the unmapping of the 1 MiB button-register window fails
 * with EINVAL, which no kernel gives for a mapping just made; every other munmap goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>

int munmap(void* addr, size_t length)
{
	if (length == 0x100000) {
		errno = EINVAL;
		return -1;
	}
	int (*real)(void*, size_t) = (int (*)(void*, size_t))dlsym(RTLD_NEXT, "munmap");
	return real(addr, length);
}
