// The receiver model's fixture: a fresh board with the model installed, driven through the
// program's own adv7619 and i2c classes. Shared by the model's tests and the program's format
// detection tests.
#pragma once

#include <memory>
#include <string>

#include "adv7619.h"
#include "adv7619_model.h"
#include "sim_board_fixture.h"

namespace simtest {

class Adv7619ModelTest : public BoardTest {
protected:
	void SetUp() override
	{
		BoardTest::SetUp();
		model_ = sim::Adv7619Model::installed();
		ASSERT_NE(model_, nullptr);
	}
	void TearDown() override
	{
		model_.reset();
		BoardTest::TearDown();
	}

	// Loads the HD table quietly (the program prints nothing when every row is acknowledged).
	void load_table(bool mode_4k = false)
	{
		EXPECT_EQ(testcommon::stdout_of([&] { rx_.adv7619_config(mode_4k); }), "");
	}

	int format_for(const std::string& setting)
	{
		model_->apply_setting(setting);
		return rx_.adv7619_get_format();
	}

	adv7619 rx_;
	i2c bus;  // the program's register access, for the cases' own reads and writes
	std::shared_ptr<sim::Adv7619Model> model_;
};

}  // namespace simtest
