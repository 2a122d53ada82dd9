// The power supplies behind request 176 at 0x34 and 0x35, and the model itself.
#include <cmath>
#include <vector>

#include "sim_fixture.h"

namespace {

using sim::PowerSupply;

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int value : values) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

std::vector<std::uint8_t> read(PowerSupply& supply, std::uint8_t code, std::size_t length) {
    std::vector<std::uint8_t> out(length);
    EXPECT_TRUE(supply.read(code, out));
    return out;
}

TEST(PowerSupply, PagesSelectTheOutputOfEachPagedRegister) {
    PowerSupply supply(0x34);
    ASSERT_TRUE(supply.write(0x00, bytes({1})));
    ASSERT_TRUE(supply.write(0x21, bytes({0x34, 0x12})));  // VOUT_COMMAND of output 1
    ASSERT_TRUE(supply.write(0x00, bytes({2})));
    ASSERT_TRUE(supply.write(0x21, bytes({0x78, 0x56})));
    ASSERT_TRUE(supply.write(0x9D, bytes({3, '2', '4', '1'})));  // MFR_DATE: one per supply

    EXPECT_EQ(read(supply, 0x21, 2), bytes({0x78, 0x56}));
    EXPECT_EQ(read(supply, 0x00, 1), bytes({2}));
    ASSERT_TRUE(supply.write(0x00, bytes({1})));
    EXPECT_EQ(read(supply, 0x21, 2), bytes({0x34, 0x12}));
    EXPECT_EQ(read(supply, 0x9D, 4), bytes({3, '2', '4', '1'}));
    EXPECT_EQ(supply.working(0x21, 2), bytes({0x78, 0x56}));
    EXPECT_FALSE(supply.write(0x00, bytes({4}))) << "no fifth output";
}

TEST(PowerSupply, BlockReadsStartWithTheCount) {
    PowerSupply supply(0x35);
    ASSERT_TRUE(supply.write(0x9B, bytes({2, 0xAB, 0xCD})));
    EXPECT_EQ(read(supply, 0x9B, 1), bytes({2})) << "a one-byte read gets only the count";
    EXPECT_EQ(read(supply, 0x9B, 3), bytes({2, 0xAB, 0xCD}));
    EXPECT_EQ(read(supply, 0x9B, 5), bytes({2, 0xAB, 0xCD, 0xFF, 0xFF}));
    EXPECT_EQ(read(supply, 0x99, 1), bytes({0})) << "never set: an empty block";
    EXPECT_FALSE(supply.write(0x9B, bytes({3, 0xAB}))) << "count and data disagree";
}

TEST(PowerSupply, AcknowledgesOnlyWhatItsCommandsAllow) {
    PowerSupply supply(0x34);
    EXPECT_TRUE(supply.write(0xDB, {})) << "a command without data";
    EXPECT_FALSE(supply.write(0xDB, bytes({1})));
    EXPECT_FALSE(supply.write(0x8F, {})) << "unknown command";
    EXPECT_FALSE(supply.write(0x88, bytes({1, 2}))) << "READ_VIN is read-only";
    EXPECT_FALSE(supply.write(0x21, bytes({1}))) << "a word needs two bytes";
    std::vector<std::uint8_t> out(2);
    EXPECT_FALSE(supply.read(0x11, out)) << "an action cannot be read";
    EXPECT_TRUE(supply.read(0x88, out));
}

TEST(PowerSupply, Linear11ValuesMayComeBackInAnotherEncoding) {
    PowerSupply supply(0x34);
    const std::uint16_t two = sim::linear11(2, -1);  // mantissa 2, exponent -1: the number 1
    ASSERT_TRUE(supply.write(0x46, bytes({two & 0xFF, two >> 8})));
    EXPECT_EQ(read(supply, 0x46, 2), bytes({two & 0xFF, two >> 8}));

    supply.set_linear11_reencoding(true);
    const std::uint16_t one = sim::linear11(1, 0);
    EXPECT_EQ(read(supply, 0x46, 2), bytes({one & 0xFF, one >> 8}));
    EXPECT_EQ(read(supply, 0x21, 2), bytes({0, 0})) << "other words come back as written";
}

TEST(PowerSupply, Linear11ReencodingKeepsTheNumber) {
    const auto value = [](std::uint16_t word) {
        int exponent = word >> 11;
        if (exponent > 15) {
            exponent -= 32;
        }
        return static_cast<double>(word & 0x7FF) * std::ldexp(1.0, exponent);
    };
    for (const std::uint16_t word :
         {sim::linear11(2, -1), sim::linear11(3, 4), sim::linear11(511, -16),
          sim::linear11(1000, 15), sim::linear11(0, 3)}) {
        EXPECT_EQ(value(sim::linear11_reencode(word)), value(word)) << word;
    }
    EXPECT_NE(sim::linear11_reencode(sim::linear11(3, 4)), sim::linear11(3, 4));
}

TEST(PowerSupply, StoreRestoreAndPowerCycleMoveValuesBetweenWorkingAndStored) {
    PowerSupply supply(0x34);
    ASSERT_TRUE(supply.write(0x21, bytes({1, 0})));
    EXPECT_FALSE(supply.stored(0x21).has_value());
    ASSERT_TRUE(supply.write(0x11, {}));  // STORE_DEFAULT_ALL
    EXPECT_EQ(supply.stored(0x21), bytes({1, 0}));

    ASSERT_TRUE(supply.write(0x21, bytes({2, 0})));
    ASSERT_TRUE(supply.write(0x12, {}));  // RESTORE_DEFAULT_ALL
    EXPECT_EQ(supply.working(0x21), bytes({1, 0}));

    ASSERT_TRUE(supply.write(0x00, bytes({3})));
    ASSERT_TRUE(supply.write(0x21, bytes({3, 0})));
    supply.power_cycle();
    EXPECT_EQ(supply.page(), 0);
    EXPECT_FALSE(supply.working(0x21, 3).has_value()) << "never stored, so gone";
}

TEST(PowerSupply, TableDataIsKeptPerTableSelection) {
    PowerSupply supply(0x35);
    ASSERT_TRUE(supply.write(0xD4, bytes({1})));
    ASSERT_TRUE(supply.write(0xD5, bytes({1, 0x11})));
    ASSERT_TRUE(supply.write(0xD4, bytes({2})));
    ASSERT_TRUE(supply.write(0xD5, bytes({1, 0x22})));
    ASSERT_TRUE(supply.write(0xD4, bytes({1})));
    EXPECT_EQ(read(supply, 0xD5, 2), bytes({1, 0x11}));
}

TEST(PowerSupply, AScriptAppliedPageByPageSetsWorkingAndStored) {
    const auto script = sim::ScriptBuilder()
                            .block(0x9D, "240611")
                            .word(0xE1, 0x1234)
                            .page(0)
                            .word(0x21, 0x0800)
                            .page(2)
                            .word(0x21, 0x0900)
                            .send(0x03, 5)
                            .byte(0x88, 7)  // read-only: passed over as three bytes
                            .bytes();
    PowerSupply supply(0x34);
    supply.apply_script(script);
    EXPECT_EQ(supply.page(), 0);
    EXPECT_EQ(supply.working(0x21, 0), bytes({0x00, 0x08}));
    EXPECT_EQ(supply.stored(0x21, 2), bytes({0x00, 0x09}));
    EXPECT_EQ(supply.stored(0xE1, 0), bytes({0x34, 0x12}));
    EXPECT_EQ(supply.stored(0x9D), bytes({'2', '4', '0', '6', '1', '1'}));
    EXPECT_FALSE(supply.working(0x88, 0).has_value());
}

TEST(PowerSupply, KnowsWhetherItHoldsAScript) {
    const auto script = sim::synthetic_supply_script("240611", 3, 5);
    PowerSupply supply(0x34);
    EXPECT_FALSE(supply.stores_script(script));
    supply.apply_script(script);
    EXPECT_TRUE(supply.stores_script(script));
    EXPECT_TRUE(supply.runs_script(script));

    // A setting changed on one page and not stored: working differs, stored holds.
    ASSERT_TRUE(supply.write(0x00, bytes({2})));
    ASSERT_TRUE(supply.write(0xD4, bytes({1})));
    ASSERT_TRUE(supply.write(0xD5, bytes({1, 0})));
    EXPECT_FALSE(supply.runs_script(script));
    EXPECT_TRUE(supply.stores_script(script));
    EXPECT_FALSE(supply.stores_script(sim::synthetic_supply_script("240611", 4, 5)));
}

class SupplyBusTest : public sim_test::SimTest {};

TEST_F(SupplyBusTest, TheDateReadOfTheCheckSeesTheScriptsDate) {
    sim::Instrument& current = attach();
    UsbDevice* device = open(current);
    ASSERT_NE(device, nullptr);
    const auto date = control_in(device, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7);
    ASSERT_EQ(date.size(), 7U);
    EXPECT_EQ(date[0], images_.supply_a_script[1]);
    EXPECT_TRUE(std::equal(date.begin() + 1, date.end(), images_.supply_a_script.begin() + 3));

    auto older_config = config();
    older_config.initial = sim::InitialState::all(sim::Contents::older);
    sim::Instrument& older = attach(older_config);
    device = open(older);
    const auto older_date = control_in(device, VREQ_BUS_TRANSFER, 0x0935, 0x9D, 7);
    ASSERT_EQ(older_date.size(), 7U);
    EXPECT_EQ(std::string(older_date.begin() + 1, older_date.end()), "240610");
}

TEST_F(SupplyBusTest, WritesAndReadsReachTheAddressedSupply) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0135, 0x21, {0x55, 0x0A}), USB_OK);
    EXPECT_EQ(instrument.supply(1).working(0x21, 0), bytes({0x55, 0x0A}));
    EXPECT_EQ(control_in(device, VREQ_BUS_TRANSFER, 0x0935, 0x21, 2), bytes({0x55, 0x0A}));
    EXPECT_NE(control_in(device, VREQ_BUS_TRANSFER, 0x0934, 0x21, 2), bytes({0x55, 0x0A}));
    EXPECT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0xDB), USB_OK);
    EXPECT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0136, 0x21, {1, 2}), USB_ERR_FAILED);
}

TEST_F(SupplyBusTest, ThePowerCycleRequestReloadsStoredValues) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    const auto stored = instrument.supply(0).stored(0x21, 0);
    control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0x00, {0});
    control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0x21, {0x99, 0x09});
    control_in(device, VREQ_FPGA_CONFIG, 0, FPGA_CONFIG_POWER_CYCLE, 16);
    EXPECT_EQ(instrument.supply(0).working(0x21, 0), stored);
    EXPECT_TRUE(instrument.present()) << "the USB controller stays on the bus";
}

// Busy with its non-volatile memory after STORE_DEFAULT_ALL (450 ms) and
// RESTORE_DEFAULT_ALL (10 ms): writes are refused, reads come back all ones.
TEST_F(SupplyBusTest, AStoreOrRestoreKeepsTheSupplyBusyForItsTime) {
    sim::Instrument& instrument = attach();
    UsbDevice* device = open(instrument);
    ASSERT_NE(device, nullptr);
    const sim::Timing& timing = instrument.timing();
    const auto date = control_in(device, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7);
    for (const auto& [command, busy_us] :
         {std::pair{0x11, timing.pmbus_store_us}, std::pair{0x12, timing.pmbus_restore_us}}) {
        ASSERT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0134, command), USB_OK);
        EXPECT_EQ(control_out(device, VREQ_BUS_TRANSFER, 0x0134, 0x00, {1}), USB_ERR_FAILED);
        EXPECT_EQ(control_in(device, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7),
                  std::vector<std::uint8_t>(7, 0xFF));
        EXPECT_EQ(control_in(device, VREQ_BUS_TRANSFER, 0x0935, 0x9D, 7).size(), 7U)
            << "the other supply is not busy";
        clock_.advance_us(busy_us);
        EXPECT_EQ(control_in(device, VREQ_BUS_TRANSFER, 0x0934, 0x9D, 7), date);
    }
    EXPECT_EQ(instrument.supply(0).page(), 0) << "the refused PAGE write changed nothing";
}

}  // namespace
