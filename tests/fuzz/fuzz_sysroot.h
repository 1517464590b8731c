// A private appliance root for a fuzz target: the program's fixed paths resolve below it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "sysroot.h"
#include "vexo_path.h"

// Removes the root and what is below it; registered to run at exit.
inline void fuzz_remove_sysroot()
{
	std::error_code ec;
	if (const char* root = getenv("VEXO_SYSROOT"))
		std::filesystem::remove_all(root, ec);
}

// Lays out a fresh sysroot below the sysroot base once, points VEXO_SYSROOT there and removes
// it at exit.
inline void fuzz_sysroot()
{
	static bool done = false;
	if (done)
		return;
	done = true;
	const std::string root = sim::make_fresh_dir("vexo-fuzz-");
	sim::lay_out_sysroot(root);
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
