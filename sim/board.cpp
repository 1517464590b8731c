// The virtual appliance's board: sysroot, event log, control files and the device registry.
#include "board.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <stdexcept>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "i2c_bus.h"
#include "real_io.h"
#include "sysroot.h"

namespace sim {

ssize_t Device::read(void*, size_t)
{
	errno = EINVAL;
	return -1;
}

ssize_t Device::write(const void*, size_t)
{
	errno = EINVAL;
	return -1;
}

int Device::ioctl(unsigned long, void*)
{
	errno = ENOTTY;
	return -1;
}

namespace {

// dev/mem must reach past the highest register window the programs map: the AXI peripherals
// from 0x41000000 (reset button, audio selector at 0x41210000 + 0x10000). The file is sparse.
constexpr off_t kMemFileSize = 0x42000000;
constexpr auto kControlPoll = std::chrono::milliseconds(20);

const char* const kBusNames[] = {"i2c-0", "i2c-1"};

// Never destroyed, like the board: the board stops after every static destructor has run.
std::vector<Board::Model>& model_list()
{
	static auto* models = new std::vector<Board::Model>;
	return *models;
}

// Serialises start, stop and model registration, and protects model_list().
std::mutex& lifecycle_mutex()
{
	static auto* mutex = new std::mutex;
	return *mutex;
}

// Collapses repeated slashes, so "root//dev/x" from a sysroot with a trailing slash matches.
std::string normalise(const char* path)
{
	std::string out;
	for (const char* p = path; *p != '\0'; p++) {
		if (*p == '/' && !out.empty() && out.back() == '/')
			continue;
		out.push_back(*p);
	}
	return out;
}

bool read_file(const std::string& path, std::string* content)
{
	FILE* f = fopen(path.c_str(), "re");
	if (f == nullptr)
		return false;
	content->clear();
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		content->append(buf, n);
	fclose(f);
	return true;
}

bool write_file(const std::string& path, const std::string& content)
{
	FILE* f = fopen(path.c_str(), "we");
	if (f == nullptr)
		return false;
	bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
	return fclose(f) == 0 && ok;
}

// The last line holding more than blanks, without its line end and surrounding blanks.
std::string last_line(const std::string& content)
{
	size_t end = content.size();
	while (end > 0) {
		size_t start = content.rfind('\n', end - 1);
		start = start == std::string::npos ? 0 : start + 1;
		std::string line = content.substr(start, end - start);
		size_t a = line.find_first_not_of(" \t\r\n");
		if (a != std::string::npos) {
			size_t b = line.find_last_not_of(" \t\r\n");
			return line.substr(a, b - a + 1);
		}
		end = start == 0 ? 0 : start - 1;
	}
	return "";
}

// What the watcher knows of one control file: a change is acted on once two polls in a row
// saw the same state, so a writer caught between truncate and write is never read half-done.
struct Control {
	std::string name;
	std::string path;
	std::function<void(const std::string&)> on_line;
	std::string seen;   // content and stat signature at the last poll
	std::string acted;  // the same when on_line was last called (or the file was created)
};

std::string signature(const std::string& path, const std::string& content)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return "";
	char sig[96];
	snprintf(sig, sizeof(sig), "%llu:%lld:%lld.%09ld|", (unsigned long long)st.st_ino,
	         (long long)st.st_size, (long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec);
	return sig + content;
}

}  // namespace

// `mutex` protects root, devices and controls; `event_mutex` the event log descriptor and
// the order of its lines; `watch_mutex` with `watch_cv` the watcher's stop request. The
// buses live as long as the process, so Devices of descriptors still open stay valid.
struct Board::Impl {
	mutable std::mutex mutex;
	std::string root;
	std::map<std::string, std::function<std::shared_ptr<Device>()>> devices;
	std::map<std::string, std::function<std::shared_ptr<Device>()>> files;  // by path below the root
	std::map<std::string, int> open_faults;                                  // by node
	std::vector<std::shared_ptr<Control>> controls;

	std::atomic<bool> running{false};
	std::atomic<int64_t> start_ns{0};

	std::mutex event_mutex;
	int event_fd = -1;

	std::mutex watch_mutex;
	std::condition_variable watch_cv;
	bool watch_stop = false;
	std::thread watcher;

	std::map<std::string, std::shared_ptr<I2cBus>> buses;

	void watch();
	void poll_control(Control& control);
	void lay_out();
};

Board::Board() : impl_(new Impl)
{
	for (const char* name : kBusNames)
		impl_->buses[name] = std::make_shared<I2cBus>(name);
}

Board& Board::instance()
{
	// Never destroyed: descriptors and late destructors may still reach it at exit.
	static Board* board = new Board;
	return *board;
}

void Board::Impl::lay_out()
{
	try {
		lay_out_sysroot(root);
	} catch (const std::exception& e) {
		fprintf(stderr, "vexoenc-sim: %s\n", e.what());
	}

	const std::string mem = root + "/dev/mem";
	int fd = __real_open(mem.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0) {
		struct stat st;
		if (fstat(fd, &st) == 0 && st.st_size < kMemFileSize && ftruncate(fd, kMemFileSize) != 0)
			fprintf(stderr, "vexoenc-sim: cannot size %s: %s\n", mem.c_str(), strerror(errno));
		__real_close(fd);
	} else {
		fprintf(stderr, "vexoenc-sim: cannot create %s: %s\n", mem.c_str(), strerror(errno));
	}

	const std::string events = root + "/sim/events.jsonl";
	event_fd = __real_open(events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (event_fd < 0)
		fprintf(stderr, "vexoenc-sim: cannot open %s: %s\n", events.c_str(), strerror(errno));
}

void Board::start(const std::string& sysroot)
{
	std::lock_guard<std::mutex> life(lifecycle_mutex());
	if (impl_->running.load())
		return;

	std::string root = sysroot;
	while (root.size() > 1 && root.back() == '/')
		root.pop_back();
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		impl_->root = root;
	}
	impl_->start_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
	                              std::chrono::steady_clock::now().time_since_epoch())
	                              .count());
	{
		std::lock_guard<std::mutex> lock(impl_->event_mutex);
		impl_->lay_out();
	}
	impl_->running.store(true);

	for (auto& bus : impl_->buses) {
		std::shared_ptr<I2cBus> b = bus.second;
		add_device(bus.first, [b] { return b->open_device(); });
	}

	{
		std::lock_guard<std::mutex> lock(impl_->watch_mutex);
		impl_->watch_stop = false;
	}
	impl_->watcher = std::thread([this] { impl_->watch(); });

	for (const Model& model : model_list())
		if (model.install)
			model.install(*this);
}

void Board::stop()
{
	std::lock_guard<std::mutex> life(lifecycle_mutex());
	if (!impl_->running.load())
		return;

	{
		std::lock_guard<std::mutex> lock(impl_->watch_mutex);
		impl_->watch_stop = true;
	}
	impl_->watch_cv.notify_all();
	if (impl_->watcher.joinable())
		impl_->watcher.join();

	auto& models = model_list();
	for (auto it = models.rbegin(); it != models.rend(); ++it)
		if (it->uninstall)
			it->uninstall(*this);

	for (auto& bus : impl_->buses) {
		bus.second->clear();
		remove_device(bus.first);
	}

	std::vector<std::string> nodes;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		for (auto& device : impl_->devices)
			nodes.push_back(device.first);
		impl_->controls.clear();
	}
	for (const std::string& node : nodes)
		remove_device(node);
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		impl_->files.clear();
		impl_->open_faults.clear();
	}

	impl_->running.store(false);
	std::lock_guard<std::mutex> lock(impl_->event_mutex);
	if (impl_->event_fd >= 0)
		__real_close(impl_->event_fd);
	impl_->event_fd = -1;
}

bool Board::running() const
{
	return impl_->running.load();
}

std::string Board::path(const std::string& rel) const
{
	std::lock_guard<std::mutex> lock(impl_->mutex);
	return impl_->root + "/" + rel;
}

double Board::now() const
{
	int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
	                     std::chrono::steady_clock::now().time_since_epoch())
	                     .count() -
	             impl_->start_ns.load();
	return static_cast<double>(ns) / 1e9;
}

void Board::event(const std::string& dev, const nlohmann::ordered_json& fields)
{
	// Microseconds are enough to order the lines and keep them short.
	nlohmann::ordered_json record = {{"t", std::round(now() * 1e6) / 1e6}, {"dev", dev}};
	for (const auto& item : fields.items())
		record[item.key()] = item.value();
	// Control-file text may be any bytes: invalid UTF-8 is replaced, never thrown.
	std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";

	// One write per line on an O_APPEND descriptor: readers never see half a line.
	std::lock_guard<std::mutex> lock(impl_->event_mutex);
	if (impl_->event_fd < 0)
		return;
	size_t done = 0;
	while (done < line.size()) {
		ssize_t n = __real_write(impl_->event_fd, line.data() + done, line.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
}

void Board::add_device(const std::string& node, std::function<std::shared_ptr<Device>()> factory)
{
	std::string file;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		impl_->devices[node] = std::move(factory);
		file = impl_->root + "/dev/" + node;
		auto fault = impl_->open_faults.find(node);
		if (fault != impl_->open_faults.end() && fault->second == ENOENT)
			return;
	}
	// The node exists as a plain file so that stat() and existence checks see it.
	int fd = __real_open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (fd >= 0)
		__real_close(fd);
	else
		fprintf(stderr, "vexoenc-sim: cannot create %s: %s\n", file.c_str(), strerror(errno));
}

void Board::remove_device(const std::string& node)
{
	std::string file;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		if (impl_->devices.erase(node) == 0)
			return;
		file = impl_->root + "/dev/" + node;
	}
	unlink(file.c_str());
}

void Board::set_open_fault(const std::string& node, int error)
{
	std::string file;
	bool served;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		if (error != 0)
			impl_->open_faults[node] = error;
		else
			impl_->open_faults.erase(node);
		file = impl_->root + "/dev/" + node;
		served = impl_->devices.count(node) != 0;
	}
	if (error == ENOENT) {
		unlink(file.c_str());
	} else if (served) {
		int fd = __real_open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
		if (fd >= 0)
			__real_close(fd);
	}
}

void Board::serve_file(const std::string& rel, std::function<std::shared_ptr<Device>()> factory)
{
	std::lock_guard<std::mutex> lock(impl_->mutex);
	impl_->files[rel] = std::move(factory);
}

void Board::unserve_file(const std::string& rel)
{
	std::lock_guard<std::mutex> lock(impl_->mutex);
	impl_->files.erase(rel);
}

bool Board::open_node(const char* path, std::shared_ptr<Device>* device, int* error)
{
	if (path == nullptr || path[0] != '/' || !impl_->running.load())
		return false;
	const std::string wanted = normalise(path);
	std::function<std::shared_ptr<Device>()> factory;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		const std::string root = impl_->root + "/";
		if (wanted.compare(0, root.size(), root) != 0)
			return false;
		const std::string rel = wanted.substr(root.size());
		auto file = impl_->files.find(rel);
		if (file != impl_->files.end()) {
			factory = file->second;
		} else {
			if (rel.compare(0, 4, "dev/") != 0)
				return false;
			const std::string node = rel.substr(4);
			auto fault = impl_->open_faults.find(node);
			if (fault != impl_->open_faults.end()) {
				*device = nullptr;
				*error = fault->second;
				return true;
			}
			auto it = impl_->devices.find(node);
			if (it == impl_->devices.end())
				return false;
			factory = it->second;
		}
	}
	// Outside the lock: a factory may well call back into the board.
	*device = factory ? factory() : nullptr;
	*error = ENXIO;
	return true;
}

void Board::attach_i2c(const std::string& bus, uint8_t addr, std::shared_ptr<I2cTarget> target)
{
	auto it = impl_->buses.find(bus);
	if (it == impl_->buses.end()) {
		fprintf(stderr, "vexoenc-sim: no I2C bus %s\n", bus.c_str());
		return;
	}
	it->second->attach(addr, std::move(target));
}

void Board::detach_i2c(const std::string& bus, uint8_t addr)
{
	auto it = impl_->buses.find(bus);
	if (it != impl_->buses.end())
		it->second->detach(addr);
}

void Board::add_control(const std::string& name, const std::string& initial,
                        std::function<void(const std::string&)> on_line)
{
	if (!running())
		return;
	auto control = std::make_shared<Control>();
	control->name = name;
	control->path = path("sim/" + name);
	control->on_line = std::move(on_line);

	// A file written before start (by a test or a script) wins over the initial setting.
	std::string content;
	bool existed = read_file(control->path, &content);
	std::string line = existed ? last_line(content) : "";
	if (!existed || line.empty()) {
		content = initial + "\n";
		if (!write_file(control->path, content))
			fprintf(stderr, "vexoenc-sim: cannot write %s: %s\n", control->path.c_str(), strerror(errno));
		line = initial;
	}
	control->seen = signature(control->path, content);
	control->acted = control->seen;
	{
		std::lock_guard<std::mutex> lock(impl_->mutex);
		impl_->controls.push_back(control);
	}
	if (line != initial && control->on_line)
		control->on_line(line);
}

void Board::Impl::poll_control(Control& control)
{
	std::string content;
	if (!read_file(control.path, &content))
		return;
	std::string now_seen = signature(control.path, content);
	if (now_seen.empty())
		return;
	if (now_seen != control.seen) {
		control.seen = now_seen;
		return;
	}
	if (now_seen == control.acted)
		return;
	control.acted = now_seen;
	std::string line = last_line(content);
	if (!line.empty() && control.on_line)
		control.on_line(line);
}

void Board::Impl::watch()
{
	std::unique_lock<std::mutex> lock(watch_mutex);
	while (!watch_cv.wait_for(lock, kControlPoll, [this] { return watch_stop; })) {
		lock.unlock();
		std::vector<std::shared_ptr<Control>> list;
		{
			std::lock_guard<std::mutex> guard(mutex);
			list = controls;
		}
		for (auto& control : list)
			poll_control(*control);
		lock.lock();
	}
}

void Board::add_model(const Model& model)
{
	std::lock_guard<std::mutex> life(lifecycle_mutex());
	model_list().push_back(model);
	// vexoenc-sim starts the board before the registrars run: install the latecomer now.
	if (instance().running() && model.install)
		model.install(instance());
}

}  // namespace sim
