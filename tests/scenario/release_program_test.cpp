// The whole way of one "Program" with the image set the program carries: an
// instrument holding the previous release is restarted, checked, rewritten
// item by item and ends holding exactly the release; a "Verify contents"
// afterwards finds everything up to date.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "resources/embedded_image_set.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"

namespace {

using namespace command_test;

class ReleaseImageSet : public CommandTest {
  protected:
    ReleaseImageSet() : CommandTest(load_images(embedded_image_source())) {}
};

TEST_F(ReleaseImageSet, ProgramBringsAnInstrumentOfThePreviousReleaseUpToDate) {
    sim::InstrumentConfig previous = config(4711, sim::InitialState::all(sim::Contents::older));
    previous.record_bulk_data = false;  // a whole release's bytes are not kept
    sim::Instrument& instrument = attach(previous);
    device_list_refresh(nullptr);
    ASSERT_EQ(window_.combo_items(), (std::vector<std::string>{"DEV4711"}));

    EXPECT_EQ(run_command(1), 1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE + PROGRAMMED_EVERYTHING);
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, UP_TO_DATE);
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::information);
    EXPECT_TRUE(holds_current_set(instrument));
    expect_idle_window();

    window_.message_boxes.clear();
    EXPECT_EQ(run_command(0), 1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED + ALL_CHECKS_CURRENT);
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, UP_TO_DATE);
    expect_idle_window();
}

}  // namespace
