// Where stand-in NDI sources live: one Unix-domain socket per source in a shared directory.
#pragma once

#include <string>
#include <vector>

namespace ndi_standin {

// The directory named by NDI_STANDIN_DIR, or "/tmp/ndi-standin" when it is unset or empty.
std::string source_dir();

// Creates the directory (and its parents) when missing; false when it cannot be made.
bool make_source_dir(const std::string& dir);

// Socket file name for a source name: characters outside [A-Za-z0-9 _-] become %XX, so any
// name (also an empty one) maps to one safe name ending in ".ndi". A name too long for a
// socket address is cut and completed with a hash of the whole name. `attempt` > 0 adds
// "~N" before the ending, for a second live source of the same name.
std::string socket_file_name(const std::string& source_name, const std::string& dir, int attempt = 0);

// Socket paths of the directory's entries that look like sources, sorted.
std::vector<std::string> list_socket_paths(const std::string& dir);

// Connects to a source socket (blocking, close-on-exec); -1 when nobody listens there.
int connect_socket(const std::string& path);

}  // namespace ndi_standin
