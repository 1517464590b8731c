// Starts the virtual appliance's board before the program's own globals are built.
#include <stdio.h>
#include <stdlib.h>

#include "board.h"
#include "encoder_model.h"
#include "frame_heap.h"

namespace {

// Runs before every ordinary static constructor, so the devices exist when main() starts.
__attribute__((constructor(101))) void start_board()
{
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
