// FPGA configuration through requests 194 and 193 and the bulk OUT pipe.
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::Fpga;

class FpgaTest : public sim_test::SimTest {
  protected:
    void SetUp() override {
        auto timing = sim::Timing::instant();
        timing.fpga_done_polls = 2;
        timing.fpga_startup_polls = 3;
        instrument_ = &attach(config(timing));
        device_ = open(*instrument_);
        ASSERT_NE(device_, nullptr);
    }

    std::vector<std::uint8_t> announce(std::uint32_t words) {
        return control_in(device_, VREQ_FPGA_CONFIG, static_cast<int>(words & 0xFFFF),
                          static_cast<int>(words >> 16), 16);
    }
    std::uint8_t status() {
        const auto reply = control_in(device_, VREQ_FPGA_STATUS, 0, 0, 16);
        EXPECT_EQ(reply.size(), 16U);
        return reply.size() > 2 ? reply[2] : 0xEE;
    }
    // true when every write went out whole.
    bool send(const std::vector<std::uint8_t>& stream) {
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t chunk = std::min<std::size_t>(4096, stream.size() - at);
            if (write(device_, std::span(stream).subspan(at, chunk), 1000) !=
                static_cast<int>(chunk)) {
                return false;
            }
        }
        return true;
    }

    sim::Instrument* instrument_ = nullptr;
    UsbDevice* device_ = nullptr;
};

TEST_F(FpgaTest, ConvertedCoreBringsUpTheCoreAfterTheModelledPolls) {
    EXPECT_EQ(status(), 0x00) << "halted after boot";
    const auto answer = announce(sim::flash_core_word_count(images_.flash_core));
    ASSERT_EQ(answer.size(), 16U);
    EXPECT_EQ(answer[1], 0);
    EXPECT_EQ(status(), Fpga::STATUS_READY);

    EXPECT_TRUE(send(sim::flash_core_upload_stream(images_.flash_core)));
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::running);
    std::vector<std::uint8_t> seen;
    for (int poll = 0; poll < 6; ++poll) {
        seen.push_back(status() & (Fpga::STATUS_DONE | Fpga::STATUS_STARTED));
    }
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{0x00, 0x00, 0x02, 0x02, 0x02, 0x12}));
}

TEST_F(FpgaTest, TheConversionSwapsEachWordAndReversesEachByte) {
    const std::vector<std::uint8_t> core{0x01, 0x80, 0x12, 0x34};
    const auto stream = sim::flash_core_upload_stream(core, 2);
    EXPECT_EQ(stream, (std::vector<std::uint8_t>{0x01, 0x80, 0x2C, 0x48, 0x00, 0x00}));
    EXPECT_EQ(sim::flash_core_word_count(core, 2), 3U);
    EXPECT_EQ(sim::flash_core_word_count(std::vector<std::uint8_t>(1169276), 51200), 610238U);
}

TEST_F(FpgaTest, UnconvertedDataEndsInAnErrorWithoutCompletionBits) {
    announce(sim::flash_core_word_count(images_.flash_core));
    std::vector<std::uint8_t> raw(images_.flash_core);  // neither swapped nor reversed
    raw.resize(raw.size() + 51200, 0);
    send(raw);
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::error);
    EXPECT_EQ(instrument_->fpga().first_mismatch(), 0);
    for (int poll = 0; poll < 10; ++poll) {
        EXPECT_EQ(status() & (Fpga::STATUS_DONE | Fpga::STATUS_STARTED), 0);
    }
}

TEST_F(FpgaTest, OneWrongByteInTheTrailerIsAnError) {
    announce(sim::flash_core_word_count(images_.flash_core));
    auto stream = sim::flash_core_upload_stream(images_.flash_core);
    stream[stream.size() - 1] = 0x01;
    send(stream);
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::error);
}

TEST_F(FpgaTest, TheConfigurationEndsExactlyAtTheAnnouncedWordCount) {
    const auto stream = sim::flash_core_upload_stream(images_.flash_core);
    // More words announced than sent: still waiting for the rest.
    announce(sim::flash_core_word_count(images_.flash_core) + 1);
    EXPECT_TRUE(send(stream));
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::receiving);
    EXPECT_EQ(status(), Fpga::STATUS_READY);

    // Fewer words than the core: the core is incomplete when the count is reached.
    announce(static_cast<std::uint32_t>(images_.flash_core.size() / 2 - 1));
    EXPECT_FALSE(send(stream)) << "after the error nothing takes the data";
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::error);
}

TEST_F(FpgaTest, AnnouncementsOfNothingOrTooMuchAreRefused) {
    EXPECT_EQ(announce(0)[1], 0x01);
    const auto too_many = control_in(device_, VREQ_FPGA_CONFIG, 0, 0x0100, 16);
    EXPECT_EQ(too_many[1], 0x01);
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::halted);
}

TEST_F(FpgaTest, ReconfiguringReplacesARunningCore) {
    ASSERT_TRUE(upload_flash_core(device_));
    ASSERT_TRUE(upload_flash_core(device_));
    EXPECT_EQ(instrument_->fpga().state(), Fpga::State::running);
    EXPECT_EQ(identify(device_), 0x18);
}

}  // namespace
