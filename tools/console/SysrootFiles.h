// Files of a virtual appliance's sysroot as vexo-console reads and writes them.
#pragma once

#include <optional>
#include <string>

namespace console {

// Fixed relative paths below one sysroot. Writes go to a temporary file beside the target and
// are renamed over it, so a reader never sees half a file; a target whose directory resolves
// outside the sysroot (a symbolic link leading away) is refused. Safe from any thread.
class SysrootFiles
{
public:
	// False with a reason when `root` is not an absolute path to a directory.
	bool open(const std::string& root, std::string& error);
	const std::string& root() const { return root_; }
	std::string path(const std::string& rel) const { return root_ + "/" + rel; }

	std::optional<std::string> read(const std::string& rel, size_t limit = 1 << 20) const;
	bool write(const std::string& rel, const std::string& text, std::string& error) const;

private:
	std::string root_;      // as given
	std::string resolved_;  // without symbolic links
};

}  // namespace console
