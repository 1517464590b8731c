// Fresh sysroots: the base directory, unique directories below it and the standard layout.
#include "sysroot.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, const std::error_code& ec)
{
	throw std::runtime_error(what + " " + path.string() + ": " + ec.message());
}

// Copies the files of `from` (those with the extension `ext`, when given) into `to`.
void copy_files(const fs::path& from, const fs::path& to, const char* ext = nullptr)
{
	std::error_code ec;
	for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
		if (ext == nullptr || it->path().extension() == ext)
			fs::copy_file(it->path(), to / it->path().filename(), fs::copy_options::overwrite_existing, ec);
	if (ec)
		fail("cannot copy the files of", from, ec);
}

}  // namespace

std::string sysroot_base()
{
	struct statvfs shm;
	if (statvfs("/dev/shm", &shm) == 0 && access("/dev/shm", W_OK) == 0 &&
	    static_cast<unsigned long long>(shm.f_bavail) * shm.f_frsize >= (1ull << 30))
		return "/dev/shm";
	const char* tmp = getenv("TMPDIR");
	return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

std::string make_fresh_dir(const std::string& prefix, const std::string& base)
{
	std::string templ = base + "/" + prefix + "XXXXXX";
	if (mkdtemp(&templ[0]) == nullptr)
		fail("cannot create a directory below", base, std::error_code(errno, std::generic_category()));
	return templ;
}

const SysrootDefaults& appliance_defaults()
{
	// Both folders come from the build (cmake/sources.cmake and the build's stills/).
	static const SysrootDefaults defaults{VEXO_SYSROOT_SETTINGS_DIR, VEXO_SYSROOT_STILLS_DIR};
	return defaults;
}

void lay_out_sysroot(const std::string& dir, const SysrootDefaults* defaults)
{
	std::error_code ec;
	for (const char* sub : {"etc", "tmp", "dev", "sim", "ndi"}) {
		fs::create_directories(fs::path(dir) / sub, ec);
		if (ec)
			fail("cannot create", fs::path(dir) / sub, ec);
	}
	if (defaults == nullptr)
		return;
	copy_files(defaults->settings, fs::path(dir) / "etc");
	if (fs::is_directory(defaults->stills, ec))
		copy_files(defaults->stills, fs::path(dir) / "etc", ".encoded");
}

}  // namespace sim
