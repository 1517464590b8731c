// The process's heap in use, on request: a line written to sim/heap is answered in
// sim/heap-in-use as "<line> <bytes>", the bytes the allocator has handed out and not taken
// back, less the encoder model's cached SpeedHQ banks. Long runs sample it to tell a leak from
// the allocator's caching. Outside the sanitizer builds sim/heap-arenas is written first with
// "<line> <in arenas, banks left out> <mapped on their own>"; before both, sim/heap-banks with
// "<line> <banks' bytes now> <the most they have held>".
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "board.h"
#include "speedhq_bank.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXO_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEXO_SANITIZER_ALLOCATOR 1
#endif
#endif

#ifdef VEXO_SANITIZER_ALLOCATOR
// The sanitizers' common allocator interface (GCC installs no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes in live allocations: the sanitizer's allocator when it replaces malloc, else glibc's
// count over every arena (small chunks in use plus chunks mapped on their own).
unsigned long long heap_in_use()
{
#ifdef VEXO_SANITIZER_ALLOCATOR
	return __sanitizer_get_current_allocated_bytes();
#else
	struct mallinfo2 mi = mallinfo2();
	return static_cast<unsigned long long>(mi.uordblks) + mi.hblkhd;
#endif
}

// Writes "<line> <text>" to `path`, aside and renamed.
void answer(const std::string& path, const std::string& line, const std::string& text)
{
	const std::string tmp = path + ".new";
	if (FILE* f = fopen(tmp.c_str(), "w")) {
		fprintf(f, "%s %s\n", line.c_str(), text.c_str());
		if (fclose(f) == 0)
			rename(tmp.c_str(), path.c_str());
	}
}

void install(sim::Board& board)
{
	const std::string in_use = board.path("sim/heap-in-use");
	const std::string arenas = board.path("sim/heap-arenas");
	const std::string bank_bytes = board.path("sim/heap-banks");
	board.add_control("heap", "", [in_use, arenas, bank_bytes](const std::string& line) {
		const size_t banks = sim::speedhq_bank_bytes();
		answer(bank_bytes, line, std::to_string(banks) + " " + std::to_string(sim::speedhq_bank_peak_bytes()));
#ifndef VEXO_SANITIZER_ALLOCATOR
		// The two parts apart: chunks in the arenas, chunks mapped on their own. The banks'
		// frames live in the arenas.
		struct mallinfo2 mi = mallinfo2();
		answer(arenas, line, std::to_string(mi.uordblks - std::min<size_t>(banks, mi.uordblks)) + " " +
		                         std::to_string(mi.hblkhd));
#endif
		const unsigned long long total = heap_in_use();
		answer(in_use, line, std::to_string(total - std::min<unsigned long long>(banks, total)));
	});
}

void uninstall(sim::Board&)
{
}

sim::ModelRegistrar registrar __attribute__((init_priority(200)))({"heap", install, uninstall});

}  // namespace
