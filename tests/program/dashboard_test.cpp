// Tests of the dashboard record and of writing it to a pipe, with or without a reader.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "main.h"
#include "test_support.h"

namespace {

TEST(DashboardRecord, EveryInputState)
{
	EXPECT_EQ(dashboard_record(0, 42, 0), "{\"dashboard_vid_input\":\"NO INPUT/\"}");
	EXPECT_EQ(dashboard_record(1, 42, 0), "{\"dashboard_vid_input\":\"1080p59.94-422\"}");
	EXPECT_EQ(dashboard_record(1, 52, 1), "{\"dashboard_vid_input\":\"2160p29.97-420\"}");
	EXPECT_EQ(dashboard_record(1, 19, 0), "{\"dashboard_vid_input\":\"1080i50-422\"}");
	// An unreadable receiver still reports the format in force.
	EXPECT_EQ(dashboard_record(-1, 53, 0), "{\"dashboard_vid_input\":\"2160p30-422\"}");
	EXPECT_EQ(dashboard_record(1, 0, 0), "{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/\"}");
	EXPECT_EQ(dashboard_record(1, 9, 0), "{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/-422\"}");
	EXPECT_EQ(dashboard_record(1, 255, 1), "{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/-420\"}");
}

class DashboardPipeTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		get_connected = 1;
		vexo_vid_format = 42;
		m_NdiTransmitter.encoder_pix_format_420 = 0;
	}

	// Runs one update on another thread; false when it did not return within two seconds.
	static bool update_returns()
	{
		auto done = std::async(std::launch::async, [] { updateWebUIStatus(); });
		return done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
	}

	testcommon::TempSysroot sysroot_{{"tmp"}, "vexo-dash"};
	const std::string pipe_ = sysroot_.path("tmp/mervane-dashboard-pipe");
};

TEST_F(DashboardPipeTest, WithoutAFileAnOrdinaryFileHoldsTheLastRecord)
{
	ASSERT_TRUE(update_returns());
	get_connected = 0;
	ASSERT_TRUE(update_returns());
	EXPECT_EQ(testcommon::read_file(pipe_), "{\"dashboard_vid_input\":\"NO INPUT/\"}");
	EXPECT_TRUE(std::filesystem::is_regular_file(pipe_));
}

TEST_F(DashboardPipeTest, PipeWithoutReaderDoesNotHoldTheLoop)
{
	ASSERT_EQ(mkfifo(pipe_.c_str(), 0644), 0);
	EXPECT_TRUE(update_returns());
	EXPECT_TRUE(update_returns());

	// A reader that opens afterwards finds nothing from the skipped records.
	int fd = open(pipe_.c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(fd, 0);
	char buf[64];
	EXPECT_EQ(read(fd, buf, sizeof(buf)), 0);
	close(fd);
}

TEST_F(DashboardPipeTest, ReaderGetsEachRecordAsOneWriteThenEndOfFile)
{
	ASSERT_EQ(mkfifo(pipe_.c_str(), 0644), 0);
	int fd = open(pipe_.c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(fd, 0);

	ASSERT_TRUE(update_returns());
	char buf[128];
	ssize_t n = read(fd, buf, sizeof(buf));
	ASSERT_GT(n, 0);
	EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "{\"dashboard_vid_input\":\"1080p59.94-422\"}");
	EXPECT_EQ(read(fd, buf, sizeof(buf)), 0) << "the writer has closed: end of file";

	vexo_vid_format = 53;
	get_connected = -1;
	ASSERT_TRUE(update_returns());
	n = read(fd, buf, sizeof(buf));
	ASSERT_GT(n, 0);
	EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "{\"dashboard_vid_input\":\"2160p30-422\"}");
	close(fd);
}

}  // namespace
