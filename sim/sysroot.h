// Fresh sysroots (the directory VEXO_SYSROOT names): where they go and what they hold. One maker
// for the board, vexoenc-sim --prepare-sysroot, the tests, the fuzz targets and the scripts.
#pragma once

#include <string>

namespace sim {

// /dev/shm when writable with at least 1 GiB free (a busy disk's journal can hold a file access
// for seconds, and the tests time the program, not the disk), else $TMPDIR or /tmp.
std::string sysroot_base();

// Makes a fresh directory `base`/`prefix`XXXXXX (mode 0700); std::runtime_error when it cannot.
std::string make_fresh_dir(const std::string& prefix, const std::string& base = sysroot_base());

// What a new appliance holds in etc/: every file of `settings`, the *.encoded files of `stills`.
struct SysrootDefaults {
	std::string settings, stills;
};
// The settings files kept in the source tree and the stills this build made.
const SysrootDefaults& appliance_defaults();

// Makes `dir` (with its parents) and etc/ tmp/ dev/ sim/ ndi/ in it; with `defaults`, copies
// their files into etc/ over older ones (no stills when that folder is missing: a build without
// them). Throws std::runtime_error naming what failed.
void lay_out_sysroot(const std::string& dir, const SysrootDefaults* defaults = nullptr);

}  // namespace sim
