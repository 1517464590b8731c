// Starts the virtual appliance's board before the program's own globals are built, or with
// --prepare-sysroot [DIR] only lays out a sysroot and exits.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <string>

#include "board.h"
#include "encoder_model.h"
#include "frame_heap.h"
#include "sysroot.h"

namespace {

// --prepare-sysroot [DIR]: lays out DIR, or a fresh directory below the sysroot base, with a new
// appliance's settings files and the built stills, prints its path and ends the process before
// anything of the board or the program is built.
[[noreturn]] void prepare_sysroot(int argc, char** argv)
{
	if (argc > 3) {
		fprintf(stderr, "usage: %s --prepare-sysroot [DIR]\n", argv[0]);
		_exit(2);
	}
	try {
		const std::string dir = argc == 3 ? std::filesystem::absolute(argv[2]).string()
		                                  : sim::make_fresh_dir("vexo-sim-");
		sim::lay_out_sysroot(dir, &sim::appliance_defaults());
		printf("%s\n", dir.c_str());
	} catch (const std::exception& e) {
		fprintf(stderr, "vexoenc-sim: cannot prepare a sysroot: %s\n", e.what());
		_exit(1);
	}
	_exit(fflush(stdout) == 0 ? 0 : 1);
}

// Runs before every ordinary static constructor, so the devices exist when main() starts. glibc
// passes the program's arguments to constructors.
__attribute__((constructor(101))) void start_board(int argc, char** argv, char**)
{
	if (argc >= 2 && strcmp(argv[1], "--prepare-sysroot") == 0)
		prepare_sysroot(argc, argv);
	const char* root = getenv("VEXO_SYSROOT");
	if (root == nullptr || root[0] != '/') {
		fprintf(stderr,
		        "vexoenc-sim: VEXO_SYSROOT must name the virtual appliance's root directory "
		        "(an absolute path); it is not set.\n");
		exit(2);
	}
	// The board's threads start here, before main: the program's heap set-up comes first.
	prepare_frame_heap();
	sim::warm_up_banks_at_next_start();
	sim::Board::instance().start(root);
}

__attribute__((destructor(101))) void stop_board()
{
	sim::Board::instance().stop();
}

}  // namespace
