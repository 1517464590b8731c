// Tally: the lights for each mode and tally state, and the tally thread against a real sender.
#include <chrono>
#include <string>
#include <thread>

#include <Processing.NDI.Lib.h>
#include <gtest/gtest.h>
#include <ndi_standin_rx.h>

#include "NdiTransmitter.h"
#include "adv7619.h"
#include "sim_board_fixture.h"

namespace {

class Tally : public simtest::BoardTest {
protected:
	std::string lights(const std::string& mode, bool program, bool preview, bool encoding)
	{
		write_text("etc/mervane-enc1-settings.json", mode.empty() ? "{}" : "{\"TallyMode\":\"" + mode + "\"}");
		receiver_.vexotally(NDIlib_tally_t(program, preview), encoding);
		return read_text("sim/lights");
	}

	adv7619 receiver_;
};

TEST_F(Tally, LightsForEachModeAndState)
{
	EXPECT_EQ(lights("TallyOn", true, false, false), "80");
	EXPECT_EQ(lights("TallyOn", false, true, true), "40");
	EXPECT_EQ(lights("TallyOn", true, true, false), "80");
	EXPECT_EQ(lights("TallyOn", false, false, true), "00");
	EXPECT_EQ(lights("VideoMode", true, false, false), "80");
	EXPECT_EQ(lights("VideoMode", false, false, true), "40");
	EXPECT_EQ(lights("TallyOff", true, true, true), "00");
	EXPECT_EQ(lights("", true, false, true), "00");

	// Every call configures the expander's pins as outputs (register 3) before the pattern.
	int config_writes = 0;
	for (const nlohmann::json& e : events_of("i2c-1"))
		config_writes += e == nlohmann::json{{"addr", 32}, {"reg", 3}, {"val", 1}};
	EXPECT_EQ(config_writes, 8);
}

TEST_F(Tally, ThreadFollowsTheReceiversAndStopsWithItsFlag)
{
	setenv("NDI_STANDIN_DIR", path("sim").c_str(), 1);
	NdiTransmitter tx;
	NDIlib_send_create_t create("tally-test", nullptr, false, false);
	tx.ndi_tx_inst = NDIlib_send_create(&create);
	ASSERT_NE(tx.ndi_tx_inst, nullptr);
	ndi_standin::Receiver rx;
	ASSERT_TRUE(rx.open(path("sim"), std::string("tally-test"), 3000));

	tx.tally_running = true;
	std::thread thread(&NdiTransmitter::get_tally, &tx);
	ASSERT_TRUE(rx.set_tally(false, true));
	EXPECT_TRUE(wait_until([&] { return tx.p_tally.load().on_preview && !tx.p_tally.load().on_program; }));
	ASSERT_TRUE(rx.set_tally(true, true));
	EXPECT_TRUE(wait_until([&] { return tx.p_tally.load().on_program; }));

	auto stop = std::chrono::steady_clock::now();
	tx.tally_running = false;
	thread.join();
	// One pass at most: a 1 s tally wait and the 200 ms pause.
	EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(1500));

	rx.close();
	NDIlib_send_destroy(tx.ndi_tx_inst);
	tx.ndi_tx_inst = nullptr;
	unsetenv("NDI_STANDIN_DIR");
}

TEST_F(Tally, WithoutASenderTheThreadOnlyWaitsForItsFlag)
{
	NdiTransmitter tx;
	tx.p_tally = NDIlib_tally_t(true, false);
	tx.tally_running = true;
	std::thread thread(&NdiTransmitter::get_tally, &tx);
	auto stop = std::chrono::steady_clock::now();
	tx.tally_running = false;
	thread.join();
	EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(400));
	EXPECT_TRUE(tx.p_tally.load().on_program);
}

}  // namespace
