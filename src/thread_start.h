// Starting a worker thread without letting a system that cannot make one end the program.
#pragma once

#include <stdio.h>

#include <system_error>
#include <thread>
#include <utility>

// Runs `args` (a callable and its arguments, as for std::thread) on `thread`, which must not
// hold a running thread. When the system cannot make another thread (std::system_error,
// EAGAIN), that is reported with `name` and `thread` stays empty, so the owner's joinable
// checks pass it by; the caller decides whether to go on without it.
template <class... Args>
bool start_thread(std::thread& thread, const char* name, Args&&... args)
{
	try {
		thread = std::thread(std::forward<Args>(args)...);
		return true;
	} catch (const std::system_error& e) {
		printf("cannot start thread %s: %s\n", name, e.what());
		return false;
	}
}
