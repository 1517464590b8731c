// Files of a virtual appliance's sysroot as vexo-console reads and writes them.
#include "SysrootFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace console {

namespace {

std::optional<std::string> real_path(const std::string& p)
{
	char buf[PATH_MAX];
	if (realpath(p.c_str(), buf) == nullptr)
		return std::nullopt;
	return std::string(buf);
}

}  // namespace

bool SysrootFiles::open(const std::string& root, std::string& error)
{
	struct stat st;
	if (root.empty() || root[0] != '/') {
		error = "the sysroot must be an absolute path";
		return false;
	}
	std::optional<std::string> resolved = real_path(root);
	if (!resolved || stat(resolved->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
		error = "the sysroot " + root + " is not a directory";
		return false;
	}
	root_ = root;
	while (root_.size() > 1 && root_.back() == '/')
		root_.pop_back();
	resolved_ = *resolved;
	return true;
}

std::optional<std::string> SysrootFiles::read(const std::string& rel, size_t limit) const
{
	// Non-blocking, so a FIFO in place of a file never holds a request.
	int fd = ::open(path(rel).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return std::nullopt;
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		::close(fd);
		return std::nullopt;
	}
	std::string text;
	char buf[8192];
	ssize_t n;
	while (text.size() < limit && (n = ::read(fd, buf, sizeof(buf))) > 0)
		text.append(buf, static_cast<size_t>(n));
	::close(fd);
	if (text.size() > limit)
		text.resize(limit);
	return text;
}

bool SysrootFiles::write(const std::string& rel, const std::string& text, std::string& error) const
{
	const std::string target = path(rel);
	const std::string dir = target.substr(0, target.rfind('/'));
	std::optional<std::string> real_dir = real_path(dir);
	if (!real_dir || (*real_dir != resolved_ && real_dir->rfind(resolved_ + "/", 0) != 0)) {
		error = rel + " is not inside the sysroot";
		return false;
	}
	static std::atomic<unsigned> serial{0};
	const std::string tmp = target + ".console-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
	int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd < 0) {
		error = "cannot write " + rel + ": " + strerror(errno);
		return false;
	}
	size_t done = 0;
	while (done < text.size()) {
		ssize_t n = ::write(fd, text.data() + done, text.size() - done);
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	bool ok = done == text.size();
	ok = ::close(fd) == 0 && ok;
	if (!ok || rename(tmp.c_str(), target.c_str()) != 0) {
		error = "cannot write " + rel + ": " + strerror(errno);
		unlink(tmp.c_str());
		return false;
	}
	return true;
}

}  // namespace console
