// Resolution of the appliance's fixed paths, optionally below a root directory.
#pragma once

// Every fixed path of the programs (settings, markers, pipe, stills, device nodes) goes
// through here. When VEXO_SYSROOT names a directory, the path is looked up below it, which
// lets the programs run against a virtual appliance; unset or empty, the path is unchanged.
// Plain C and libc only, so that btnlatch can use it as well.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Writes the resolved form of `fixed` into `out` (at most `size` bytes, NUL included).
// Returns `out`, or NULL when the result does not fit.
static inline char* vexo_path_into(char* out, size_t size, const char* fixed)
{
	// NOLINTNEXTLINE(concurrency-mt-unsafe): nothing changes the environment while the program runs
	const char* root = getenv("VEXO_SYSROOT");
	int n;
	if (root == NULL || root[0] == '\0')
		n = snprintf(out, size, "%s", fixed);
	else
		n = snprintf(out, size, "%s%s", root, fixed);
	if (n < 0 || (size_t)n >= size)
		return NULL;
	return out;
}

#ifdef __cplusplus
#include <string>

// The resolved form of `fixed`, for C++ callers.
inline std::string vexo_path(const char* fixed)
{
	// NOLINTNEXTLINE(concurrency-mt-unsafe): nothing changes the environment while the program runs
	const char* root = getenv("VEXO_SYSROOT");
	if (root == nullptr || root[0] == '\0')
		return fixed;
	return std::string(root) + fixed;
}
#endif
