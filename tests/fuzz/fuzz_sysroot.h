// A private appliance root for a fuzz target: the program's fixed paths resolve below it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "vexo_path.h"

inline int fuzz_remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
	return remove(path);
}

// Removes the root and what is below it; registered to run at exit.
inline void fuzz_remove_sysroot()
{
	if (const char* root = getenv("VEXO_SYSROOT"))
		nftw(root, fuzz_remove_entry, 8, FTW_DEPTH | FTW_PHYS);
}

// Creates ROOT/etc and ROOT/tmp under /dev/shm (or TMPDIR) once, points VEXO_SYSROOT there
// and removes it at exit.
inline void fuzz_sysroot()
{
	static bool done = false;
	if (done)
		return;
	done = true;
	const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
	std::string root = std::string(base) + "/vexo-fuzz-" + std::to_string(getpid());
	mkdir(root.c_str(), 0700);
	mkdir((root + "/etc").c_str(), 0700);
	mkdir((root + "/tmp").c_str(), 0700);
	setenv("VEXO_SYSROOT", root.c_str(), 1);
	atexit(fuzz_remove_sysroot);
}

// Writes the bytes as the file at a fixed path (below the root); absent when `present` is false.
inline void fuzz_put_file(const char* fixed, const uint8_t* data, size_t size, bool present = true)
{
	const std::string path = vexo_path(fixed);
	if (!present) {
		unlink(path.c_str());
		return;
	}
	FILE* f = fopen(path.c_str(), "wb");
	if (f == nullptr)
		abort();
	if (size > 0 && fwrite(data, 1, size, f) != size)
		abort();
	fclose(f);
}
