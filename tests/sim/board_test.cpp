// Unit tests of the virtual appliance's board, descriptor dispatch and I2C buses.
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include "hex_bytes.h"
#include "sim_board_fixture.h"

namespace {

using simtest::BoardTest;

int count_entries(const char* dir)
{
	DIR* d = opendir(dir);
	if (d == nullptr)
		return -1;
	int n = 0;
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// A device that records what reaches it and answers reads with a counter.
struct RecordingDevice : sim::Device {
	explicit RecordingDevice(std::atomic<int>* alive) : alive_(alive) { ++*alive_; }
	~RecordingDevice() override { --*alive_; }
	ssize_t read(void* buf, size_t count) override
	{
		memset(buf, 0x5A, count);
		return static_cast<ssize_t>(count);
	}
	ssize_t write(const void*, size_t count) override
	{
		written += count;
		return static_cast<ssize_t>(count);
	}
	int ioctl(unsigned long request, void* arg) override
	{
		if (request != 21)
			return Device::ioctl(request, arg);
		*static_cast<int32_t*>(arg) = 4242;
		return 0;
	}
	std::atomic<int>* alive_;
	size_t written = 0;
};

// A register-pointer slave with 256 registers; `refuse` makes it NACK everything.
struct RegisterTarget : sim::I2cTarget {
	bool i2c_write(const uint8_t* data, size_t len) override
	{
		if (refuse)
			return false;
		if (len == 0)
			return true;
		pointer = data[0];
		for (size_t i = 1; i < len; i++)
			regs[pointer++] = data[i];
		return true;
	}
	bool i2c_read(uint8_t* data, size_t len) override
	{
		if (refuse)
			return false;
		for (size_t i = 0; i < len; i++)
			data[i] = regs[pointer++];
		return true;
	}
	uint8_t regs[256] = {};
	uint8_t pointer = 0;
	bool refuse = false;
};

// `call` fails, returning -1 with errno set to `err`.
template <typename Call>
void expect_fails_with(int err, Call call)
{
	errno = 0;
	EXPECT_EQ(call(), -1);
	EXPECT_EQ(errno, err);
}

int rdwr(int fd, i2c_msg* msgs, uint32_t n)
{
	i2c_rdwr_ioctl_data data;
	data.msgs = msgs;
	data.nmsgs = n;
	return ioctl(fd, I2C_RDWR, &data);
}

TEST_F(BoardTest, LaysOutTheSysrootWithASparseMemoryWindow)
{
	struct stat st;
	for (const char* dir : {"etc", "tmp", "dev", "sim"}) {
		ASSERT_EQ(stat(path(dir).c_str(), &st), 0) << dir;
		EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
	}
	EXPECT_EQ(stat(path("dev/i2c-0").c_str(), &st), 0);
	EXPECT_EQ(stat(path("dev/i2c-1").c_str(), &st), 0);

	// Both register windows the programs map must be reachable in dev/mem.
	int fd = open(path("dev/mem").c_str(), O_RDWR | O_SYNC);
	ASSERT_GE(fd, 0);
	void* button = mmap(nullptr, 0x100000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0x41000000);
	void* audsel = mmap(nullptr, 0x10000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0x41210000);
	ASSERT_NE(button, MAP_FAILED);
	ASSERT_NE(audsel, MAP_FAILED);
	static_cast<volatile uint32_t*>(audsel)[1] = 0;
	static_cast<volatile uint32_t*>(audsel)[0] = 0xFFFFFFFF;
	EXPECT_EQ(static_cast<volatile uint32_t*>(button)[0], 0u);
	munmap(button, 0x100000);
	munmap(audsel, 0x10000);
	close(fd);
	ASSERT_EQ(stat(path("dev/mem").c_str(), &st), 0);
	EXPECT_LT(st.st_blocks * 512, 1024 * 1024) << "dev/mem should stay sparse";
}

TEST_F(BoardTest, EventsAreWholeJsonLinesWithTimeAndDevice)
{
	sim::Board& board = sim::Board::instance();
	board.event("encoder", {{"req", 5}, {"arg", 1}});
	board.event("we\"ird\n");
	// Control-file text is any bytes: quotes and controls are escaped, bad UTF-8 replaced.
	board.event("board", {{"error", std::string("a\\b\x01\xff", 5)}});
	std::vector<std::string> lines = event_lines();
	ASSERT_EQ(lines.size(), 3u);
	EXPECT_EQ(lines[0].rfind("{\"t\":", 0), 0u);
	EXPECT_NE(lines[0].find(",\"dev\":\"encoder\",\"req\":5,\"arg\":1}"), std::string::npos) << "members in order";
	std::vector<nlohmann::json> e = events();
	ASSERT_EQ(e.size(), 3u);
	const double t = e[0].at("t");
	EXPECT_GE(t, 0.0);
	EXPECT_LT(t, 60.0);
	EXPECT_EQ(e[1], (nlohmann::json{{"t", e[1].at("t")}, {"dev", "we\"ird\n"}}));
	EXPECT_EQ(e[2].at("error"), "a\\b\x01\xEF\xBF\xBD");
	const uint8_t bytes[] = {0x81, 0x01, 0x04, 0x47, 0xFF};
	EXPECT_EQ(sim::hex_bytes(bytes, sizeof(bytes)), "81 01 04 47 FF");
	EXPECT_EQ(sim::hex_bytes(bytes, 0), "");
}

TEST_F(BoardTest, EventsFromManyThreadsNeverInterleave)
{
	std::vector<std::thread> threads;
	const std::string pad(300, 'x');
	for (int i = 0; i < 4; i++)
		threads.emplace_back([&, i] {
			for (int n = 0; n < 200; n++)
				sim::Board::instance().event("t" + std::to_string(i), {{"pad", pad}});
		});
	for (auto& t : threads)
		t.join();
	std::vector<std::string> lines = event_lines();
	ASSERT_EQ(lines.size(), 800u);
	for (const std::string& line : lines) {
		ASSERT_EQ(line.front(), '{');
		ASSERT_EQ(line.back(), '}');
		ASSERT_EQ(line.find('{', 1), std::string::npos) << line;
	}
}

TEST_F(BoardTest, ControlFileCallsBackWithTheLastLineWritten)
{
	std::mutex mutex;
	std::vector<std::string> seen;
	sim::Board::instance().add_control("knob", "one", [&](const std::string& line) {
		std::lock_guard<std::mutex> lock(mutex);
		seen.push_back(line);
	});
	EXPECT_EQ(read_text("sim/knob"), "one\n");
	auto count = [&] {
		std::lock_guard<std::mutex> lock(mutex);
		return seen.size();
	};

	write_text("sim/knob", "two\n");
	ASSERT_TRUE(wait_until([&] { return count() == 1; }));
	write_text("sim/knob", "three\nfour  \r\n\n  \n");
	ASSERT_TRUE(wait_until([&] { return count() == 2; }));
	{
		std::lock_guard<std::mutex> lock(mutex);
		EXPECT_EQ(seen[0], "two");
		EXPECT_EQ(seen[1], "four");
	}
	// An emptied file is no setting: nothing is called and the next line still counts.
	write_text("sim/knob", "");
	write_text("sim/knob", "five");
	ASSERT_TRUE(wait_until([&] { return count() == 3; }));
	std::lock_guard<std::mutex> lock(mutex);
	EXPECT_EQ(seen[2], "five");
}

class PresetControlTest : public BoardTest {
	void before_setup() override { write_text("sim/knob", "preset\n"); }
};

TEST_F(PresetControlTest, AFileWrittenBeforeStartWins)
{
	std::string got;
	sim::Board::instance().add_control("knob", "default", [&](const std::string& line) { got = line; });
	EXPECT_EQ(got, "preset");
	EXPECT_EQ(read_text("sim/knob"), "preset\n");
}

TEST_F(BoardTest, ServedNodeDescriptorsReachTheirDevice)
{
	std::atomic<int> alive{0};
	sim::Board& board = sim::Board::instance();
	board.add_device("thing", [&] { return std::make_shared<RecordingDevice>(&alive); });
	struct stat st;
	EXPECT_EQ(stat(path("dev/thing").c_str(), &st), 0);

	// A doubled slash, as a sysroot with a trailing slash gives, names the same node.
	int fd = open((root_ + "//dev/thing").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(alive.load(), 1);
	uint8_t buf[6] = {};
	EXPECT_EQ(read(fd, buf, sizeof(buf)), 6);
	EXPECT_EQ(buf[5], 0x5A);
	EXPECT_EQ(write(fd, "abc", 3), 3);
	int32_t size = 0;
	EXPECT_EQ(ioctl(fd, 21, &size), 0);
	EXPECT_EQ(size, 4242);
	expect_fails_with(ENOTTY, [&] { return ioctl(fd, 22, &size); });

	// Every open gets its own Device; closing releases it.
	int fd2 = openat(AT_FDCWD, path("dev/thing").c_str(), O_RDONLY | O_CLOEXEC);
	ASSERT_GE(fd2, 0);
	EXPECT_EQ(alive.load(), 2);
	EXPECT_EQ(close(fd2), 0);
	EXPECT_EQ(close(fd), 0);
	EXPECT_EQ(alive.load(), 0);

	// The number goes back to libc: a plain file reusing it reads its own content.
	write_text("etc/plain", "hello");
	int plain = open(path("etc/plain").c_str(), O_RDONLY);
	ASSERT_GE(plain, 0);
	char text[8] = {};
	EXPECT_EQ(read(plain, text, sizeof(text)), 5);
	EXPECT_STREQ(text, "hello");
	close(plain);

	// A node no longer served is gone, as an unloaded driver's node would be.
	board.remove_device("thing");
	expect_fails_with(ENOENT, [&] { return open(path("dev/thing").c_str(), O_RDWR); });
}

TEST_F(BoardTest, OpenCreatesPlainFilesWithTheGivenMode)
{
	int fd = open(path("tmp/made").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "x", 1), 1);
	close(fd);
	struct stat st;
	ASSERT_EQ(stat(path("tmp/made").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0640u & ~0022u);
	EXPECT_EQ(st.st_size, 1);
}

TEST_F(BoardTest, AFactoryThatRefusesFailsTheOpen)
{
	sim::Board::instance().add_device("broken", [] { return std::shared_ptr<sim::Device>(); });
	expect_fails_with(ENXIO, [&] { return open(path("dev/broken").c_str(), O_RDWR); });
}

TEST_F(BoardTest, I2cTransfersReachTheAddressedSlaveAndLogEveryRegisterWrite)
{
	auto target = std::make_shared<RegisterTarget>();
	sim::Board::instance().attach_i2c("i2c-1", 0x4C, target);
	int fd = open(path("dev/i2c-1").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);

	// One message writing three registers from 0xFE wraps the pointer like the chips do.
	uint8_t burst[] = {0xFE, 0x11, 0x22, 0x33};
	i2c_msg msg = {0x4C, 0, sizeof(burst), burst};
	EXPECT_EQ(rdwr(fd, &msg, 1), 1);
	EXPECT_EQ(target->regs[0xFE], 0x11);
	EXPECT_EQ(target->regs[0x00], 0x33);

	uint8_t reg = 0xFF, value = 0;
	i2c_msg readback[2] = {{0x4C, 0, 1, &reg}, {0x4C, I2C_M_RD, 1, &value}};
	EXPECT_EQ(rdwr(fd, readback, 2), 2);
	EXPECT_EQ(value, 0x22);

	std::vector<nlohmann::json> writes = events_of("i2c-1");
	ASSERT_EQ(writes.size(), 3u) << "reads and register pointer writes log nothing";
	EXPECT_EQ(writes[0], (nlohmann::json{{"addr", 76}, {"reg", 254}, {"val", 17}}));
	EXPECT_EQ(writes[2], (nlohmann::json{{"addr", 76}, {"reg", 0}, {"val", 51}}));
	EXPECT_EQ(events().size(), 3u);
	close(fd);
}

TEST_F(BoardTest, I2cNackFailsTheTransferLikeTheController)
{
	auto target = std::make_shared<RegisterTarget>();
	sim::Board::instance().attach_i2c("i2c-0", 0x18, target);
	int fd = open(path("dev/i2c-0").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);

	uint8_t write_reg[] = {15, 96};
	i2c_msg nobody = {0x19, 0, 2, write_reg};
	expect_fails_with(ENXIO, [&] { return rdwr(fd, &nobody, 1); });

	// The slave on the other bus is not reachable from this one.
	i2c_msg other_bus = {0x18, 0, 2, write_reg};
	int fd1 = open(path("dev/i2c-1").c_str(), O_RDWR);
	expect_fails_with(ENXIO, [&] { return rdwr(fd1, &other_bus, 1); });
	close(fd1);

	// A NACK in the middle stops the transfer: what went before stays written.
	uint8_t second[] = {16, 96};
	i2c_msg pair[2] = {{0x18, 0, 2, write_reg}, {0x20, 0, 2, second}};
	EXPECT_EQ(rdwr(fd, pair, 2), -1);
	EXPECT_EQ(target->regs[15], 96);
	EXPECT_EQ(target->regs[16], 0);

	// A slave that stops answering fails, and answers again once it recovers.
	target->refuse = true;
	EXPECT_EQ(rdwr(fd, &other_bus, 1), -1);
	target->refuse = false;
	second[1] = 7;
	i2c_msg recovered = {0x18, 0, 2, second};
	EXPECT_EQ(rdwr(fd, &recovered, 1), 1);
	EXPECT_EQ(target->regs[16], 7);

	expect_fails_with(ENOTTY, [&] { return ioctl(fd, I2C_SLAVE, 0x18); });
	i2c_rdwr_ioctl_data too_many = {&recovered, I2C_RDWR_IOCTL_MAX_MSGS + 1};
	expect_fails_with(EINVAL, [&] { return ioctl(fd, I2C_RDWR, &too_many); });

	EXPECT_EQ(events_of("i2c-0"), (std::vector<nlohmann::json>{{{"addr", 24}, {"reg", 15}, {"val", 96}},
	                                                            {{"addr", 24}, {"reg", 16}, {"val", 7}}}))
	        << "only acknowledged writes are logged";
	EXPECT_EQ(events().size(), 2u);
	close(fd);
}

// The board can be stopped and started again without leaving a thread or a descriptor.
TEST(BoardLifecycle, StopsCleanlyAndStartsAgain)
{
	// The first round lets lazily started runtime threads (sanitizers) appear before counting.
	int fds_before = 0;
	int threads_before = 0;
	for (int round = 0; round < 3; round++) {
		if (round == 1) {
			fds_before = count_entries("/proc/self/fd");
			threads_before = count_entries("/proc/self/task");
		}
		testcommon::TempDir dir("vexo-simtest");
		const std::string root = dir.path();
		sim::Board& board = sim::Board::instance();
		board.start(root);
		EXPECT_TRUE(board.running());
		board.start(root);  // a second start changes nothing
		std::atomic<int> calls{0};
		board.add_control("knob", "a", [&](const std::string&) { ++calls; });
		int fd = open((root + "/dev/i2c-1").c_str(), O_RDWR);
		EXPECT_GE(fd, 0);
		close(fd);
		board.stop();
		EXPECT_FALSE(board.running());
		struct stat st;
		EXPECT_NE(stat((root + "/dev/i2c-1").c_str(), &st), 0) << "nodes go with the board";
	}
	EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
	EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
}

}  // namespace
