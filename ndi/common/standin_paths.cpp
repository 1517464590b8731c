// Where stand-in NDI sources live: one Unix-domain socket per source in a shared directory.
#include "standin_paths.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

namespace ndi_standin {

namespace {

const char kSuffix[] = ".ndi";

bool safe_char(unsigned char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
	       c == '_' || c == '-';
}

uint32_t fnv1a(const std::string& s)
{
	uint32_t h = 2166136261u;
	for (unsigned char c : s) {
		h ^= c;
		h *= 16777619u;
	}
	return h;
}

}  // namespace

std::string source_dir()
{
	const char* env = getenv("NDI_STANDIN_DIR");
	if (env != nullptr && env[0] != '\0')
		return env;
	return "/tmp/ndi-standin";
}

bool make_source_dir(const std::string& dir)
{
	std::string partial;
	size_t pos = 0;
	while (pos != std::string::npos) {
		pos = dir.find('/', pos + 1);
		partial = dir.substr(0, pos);
		if (partial.empty())
			continue;
		if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
			return false;
	}
	struct stat st;
	return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string socket_file_name(const std::string& source_name, const std::string& dir, int attempt)
{
	std::string enc;
	for (unsigned char c : source_name) {
		if (safe_char(c)) {
			enc += static_cast<char>(c);
		} else {
			char hex[4];
			snprintf(hex, sizeof(hex), "%%%02X", c);
			enc += hex;
		}
	}
	std::string tail = attempt > 0 ? "~" + std::to_string(attempt) + kSuffix : std::string(kSuffix);

	// sun_path holds the directory, a '/', the name and a terminating NUL.
	const size_t room = sizeof(sockaddr_un::sun_path) - 1;
	if (dir.size() + 1 + enc.size() + tail.size() > room) {
		char hash[16];
		snprintf(hash, sizeof(hash), "#%08x", fnv1a(source_name));
		size_t keep = room > dir.size() + 1 + tail.size() + 9 ? room - dir.size() - 1 - tail.size() - 9 : 0;
		enc = enc.substr(0, keep);
		// Do not leave half of a %XX escape behind.
		size_t pct = enc.rfind('%');
		if (pct != std::string::npos && pct + 3 > enc.size())
			enc.resize(pct);
		enc += hash;
	}
	return enc + tail;
}

std::vector<std::string> list_socket_paths(const std::string& dir)
{
	std::vector<std::string> paths;
	DIR* d = opendir(dir.c_str());
	if (d == nullptr)
		return paths;
	const size_t suffix_len = strlen(kSuffix);
	while (struct dirent* e = readdir(d)) {
		std::string name = e->d_name;
		if (name == "." || name == ".." || name.size() < suffix_len ||
		    name.compare(name.size() - suffix_len, suffix_len, kSuffix) != 0)
			continue;
		paths.push_back(dir + "/" + name);
	}
	closedir(d);
	std::sort(paths.begin(), paths.end());
	return paths;
}

int connect_socket(const std::string& path)
{
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	if (path.size() >= sizeof(addr.sun_path))
		return -1;
	memcpy(addr.sun_path, path.c_str(), path.size() + 1);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	int r;
	do {
		r = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
	} while (r != 0 && errno == EINTR);
	if (r != 0) {
		::close(fd);
		return -1;
	}
	return fd;
}

}  // namespace ndi_standin
