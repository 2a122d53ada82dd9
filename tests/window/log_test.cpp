// The action log's trimming and line-end rules, on a modelled edit control.
#include <gtest/gtest.h>

#include <string>

#include "window/window_port.h"
#include "window/log.h"
#include "support/recording_window_port.h"

namespace {

class ActionLog : public testing::Test {
protected:
    void SetUp() override { window_port_install(&port); }
    void TearDown() override { window_port_install(nullptr); }

    void fill(std::size_t characters) {
        port.log_set_text(std::string(characters, 'a').c_str());
        port.calls.clear();
    }

    RecordingWindowPort port;
};

TEST_F(ActionLog, EmptyTextSendsNothing) {
    fill(10);
    log_append("");
    EXPECT_TRUE(port.calls.empty());
}

TEST_F(ActionLog, FragmentsJoinAndLineEndsAtTheEnd) {
    log_append("Checking firmware ... ");
    log_append("up to date");
    log_end_line();
    EXPECT_EQ(port.log(), "Checking firmware ... up to date\r\n");
}

TEST_F(ActionLog, ExactlyTheLimitIsNotTrimmed) {
    fill(3000);
    log_append(std::string(1096, 'b').c_str());
    EXPECT_EQ(port.log().size(), 4096U);
    EXPECT_EQ(port.log().front(), 'a');
}

TEST_F(ActionLog, OneCharacterOverTrimsTheFirstBlockOnce) {
    fill(3000);
    port.log_set_text((std::string(1024, 'x') + std::string(1976, 'a')).c_str());
    log_append(std::string(1097, 'b').c_str());
    EXPECT_EQ(port.log().size(), 1976U + 1097U);
    EXPECT_EQ(port.log().find('x'), std::string::npos);
}

TEST_F(ActionLog, LongTextTrimsOnceThenAppendsWhole) {
    fill(2000);
    log_append(std::string(5000, 'b').c_str());
    EXPECT_EQ(port.log().size(), 976U + 5000U);

    fill(100);  // shorter than a block: the whole log goes
    log_append(std::string(5000, 'c').c_str());
    EXPECT_EQ(port.log(), std::string(5000, 'c'));
}

TEST_F(ActionLog, LineEndGoesWhereTheUserLeftTheCaret) {
    log_append("Checking bitstream ... ");
    port.log_set_selection(0, 8);  // the user selects "Checking"
    log_end_line();
    EXPECT_EQ(port.log(), "\r\n bitstream ... ");
}

}  // namespace
