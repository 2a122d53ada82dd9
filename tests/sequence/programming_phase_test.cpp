// The programming phase against a simulated instrument holding an older set:
// a failure in any step stops the run there with its own log line and
// message, leaves everything after it untouched, and a second "Program"
// repairs the instrument completely. Also the factory bitstream and its
// configuration sequence, which share one set of log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"
#include "sequence/item_report.h"

namespace {

using namespace command_test;
using sim::Contents;
using sim::InitialState;

constexpr std::uint32_t FLASH_ERASE = 0x20000000;
constexpr std::uint32_t FLASH_WRITE = 0x10000000;
constexpr std::uint32_t FLASH_READ = 0x30000000;

// The items in the order the phase programs them.
enum Item {
    BITSTREAM,
    FIRMWARE,
    FACTORY_BITSTREAM,
    FACTORY_FIRMWARE,
    USB_FIRMWARE,
    SUPPLY_A,
    SUPPLY_B
};

enum class Fault {
    erase_unanswered,  // the flash core stops answering at the region's first erase
    write_unanswered,  // ... at the region's first page
    stuck_bit,         // a bit of the region cannot be cleared: the read-back differs
    eeprom_write_nack,
    eeprom_write_nack_midway,  // the image's first chunks are written, a later one is refused
    eeprom_read_corrupt,
    supply_a_nack,  // supply A refuses PAGE
    supply_b_nack,  // supply B refuses PAGE once its programming begins
};

struct StepFailure {
    const char* name;
    Item item;
    Fault fault;
    int selector;         // the flash region of the fault
    const char* label;    // the log line that fails
    std::string message;  // the warning shown
};

void PrintTo(const StepFailure& failure, std::ostream* out) {
    *out << failure.name;
}

constexpr std::uint16_t CORRUPT_EEPROM_ADDRESS = 100;

std::string programming_failed(const std::string& what) {
    return may_be_unusable("The " + what + " programming failed");
}
std::string not_verified(const std::string& what) {
    return may_be_unusable("The programmed " + what + " could not be verified");
}

class ProgrammingPhase : public CommandTest {
  protected:
    // The run after a failed one, as a user makes it: Program; and where the
    // failed run left the boot EEPROM without its boot marker, the restart
    // finds the bare controller instead of the instrument, and recover
    // brings it back and programs it.
    void program_again(sim::Instrument& instrument) {
        window_.message_boxes.clear();
        run_command(1);
        if (!instrument.bare()) {
            return;
        }
        ASSERT_EQ(window_.message_boxes.size(), 1U);
        EXPECT_EQ(window_.message_boxes[0].text.rfind("Internal error - the device was not found", 0), 0U);
        window_.message_boxes.clear();
        EXPECT_EQ(recover_command(instrument.path().c_str()), 1);
        worker_wait();
    }

    sim::Instrument& older_instrument() {
        sim::Instrument& instrument = attach(21, InitialState::all(Contents::older));
        device_list_refresh(nullptr);
        return instrument;
    }

    // Arms a fault at the moment a flash command of an opcode first reaches the region.
    void at_first_command(std::uint32_t opcode, int selector, sim::Instrument& instrument,
                          std::function<void(sim::Faults&)> change) {
        auto watch = std::make_shared<RegionWatch>(opcode, selector, images());
        watched_.before_bulk_out = [this, watch, &instrument,
                                    change](std::span<const std::uint8_t> bytes) {
            if (watch->hits(bytes)) {
                with_faults(instrument, change);
            }
        };
    }

    // A bit that the image needs cleared, stuck at 1.
    sim::StuckBit stuck_bit_in(int selector) const {
        const auto image = images().flash_image(selector);
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        std::uint32_t offset = 0;
        while (image[offset] == 0xFF) {
            ++offset;
        }
        const auto zero_bits = static_cast<std::uint8_t>(~image[offset]);
        return {placement.device, placement.start + offset,
                static_cast<std::uint8_t>(zero_bits & -zero_bits)};
    }

    void arm(const StepFailure& failure, sim::Instrument& instrument) {
        const auto drop_replies = [](sim::Faults& faults) {
            faults.drop_reply = sim::Trigger::always();
        };
        switch (failure.fault) {
            case Fault::erase_unanswered:
                at_first_command(FLASH_ERASE, failure.selector, instrument, drop_replies);
                break;
            case Fault::write_unanswered:
                at_first_command(FLASH_WRITE, failure.selector, instrument, drop_replies);
                break;
            case Fault::stuck_bit: {
                const sim::StuckBit stuck = stuck_bit_in(failure.selector);
                with_faults(instrument,
                            [stuck](sim::Faults& faults) { faults.stuck_bits.push_back(stuck); });
                break;
            }
            case Fault::eeprom_write_nack:
                with_faults(instrument, [](sim::Faults& faults) {
                    faults.eeprom_write_nack = sim::AddressRange{0, sim::EEPROM_SIZE - 1};
                });
                break;
            case Fault::eeprom_write_nack_midway:
                with_faults(instrument, [](sim::Faults& faults) {
                    faults.eeprom_write_nack = sim::AddressRange{64, 95};
                });
                break;
            case Fault::eeprom_read_corrupt: {
                const auto wrong =
                    static_cast<std::uint8_t>(~images().usb_firmware[CORRUPT_EEPROM_ADDRESS]);
                with_faults(instrument, [wrong](sim::Faults& faults) {
                    faults.eeprom_read_corruption[CORRUPT_EEPROM_ADDRESS] = wrong;
                });
                break;
            }
            case Fault::supply_a_nack:
                with_faults(instrument, [](sim::Faults& faults) {
                    faults.pmbus_nack[sim::pmbus::PAGE] = sim::Trigger::always();
                });
                break;
            case Fault::supply_b_nack:
                watched_.before_control = [this, &instrument](const UsbSetupPacket& setup) {
                    if (setup.request == VREQ_BUS_TRANSFER && setup.request_type == 0x40 &&
                        setup.value == (BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_B) &&
                        setup.index == sim::pmbus::PAGE) {
                        with_faults(instrument, [](sim::Faults& faults) {
                            faults.pmbus_nack[sim::pmbus::PAGE] = sim::Trigger::always();
                        });
                    }
                };
                break;
        }
    }

    void disarm(sim::Instrument& instrument) {
        watched_.before_bulk_out = nullptr;
        watched_.before_control = nullptr;
        clear_faults(instrument);
    }

    // What the failing line reads after its label.
    std::string failed_outcome(const StepFailure& failure) const {
        if (failure.fault != Fault::eeprom_read_corrupt) {
            return "failed";
        }
        const std::uint8_t expected = images().usb_firmware[CORRUPT_EEPROM_ADDRESS];
        char line[64];
        std::snprintf(line, sizeof line, "error at %d: %02X != %02X\n", CORRUPT_EEPROM_ADDRESS,
                      static_cast<std::uint8_t>(~expected), expected);
        return line;
    }

    bool item_current(const sim::Instrument& instrument, Item item) const {
        switch (item) {
            case BITSTREAM:
                return holds_flash_image(instrument, 0);
            case FIRMWARE:
                return holds_flash_image(instrument, 1);
            case FACTORY_BITSTREAM:
                return holds_flash_image(instrument, 2) && holds_flash_image(instrument, 4);
            case FACTORY_FIRMWARE:
                return holds_flash_image(instrument, 3);
            case USB_FIRMWARE:
                return holds_usb_firmware(instrument);
            case SUPPLY_A:
                return supply_holds_script(instrument, 0);
            case SUPPLY_B:
                return supply_holds_script(instrument, 1);
        }
        return false;
    }

    // Whether supply A (0x34) or B (0x35) was sent a command (STORE_DEFAULT_ALL...).
    static int supply_commands_sent(const sim::Instrument& instrument, std::uint8_t address,
                                    std::uint8_t code) {
        int sent = 0;
        for (const sim::TransferRecord& transfer : controls(instrument)) {
            if (transfer.setup.request == VREQ_BUS_TRANSFER &&
                transfer.setup.request_type == 0x40 &&
                transfer.setup.value == (BUS_PMBUS_WRITE | address) &&
                transfer.setup.index == code) {
                ++sent;
            }
        }
        return sent;
    }
    static bool supply_command_sent(const sim::Instrument& instrument, std::uint8_t address,
                                    std::uint8_t code) {
        return supply_commands_sent(instrument, address, code) > 0;
    }
};

// The item events of a run, as the command line receives them.
struct RecordedItems : ItemObserver {
    std::vector<ItemEvent> events;
    void item_event(const ItemEvent& event) override { events.push_back(event); }

    std::vector<ItemEvent> of(WorkItem item) const {
        std::vector<ItemEvent> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [item](const ItemEvent& event) { return event.item == item; });
        return found;
    }
};

// The reported item that a failure belongs to, and the phase it fails in
// (the board's USB firmware step is one program phase, its read-back included).
WorkItem reported_item(const StepFailure& failure) {
    constexpr WorkItem BY_ITEM[] = {WorkItem::bitstream,        WorkItem::firmware,
                                    WorkItem::factory_bitstream, WorkItem::factory_firmware,
                                    WorkItem::usb_firmware,     WorkItem::power_supply_a,
                                    WorkItem::power_supply_b};
    if (failure.item == FACTORY_BITSTREAM && failure.selector == 4) {
        return WorkItem::configuration_sequence;
    }
    return BY_ITEM[failure.item];
}
ItemPhase reported_phase(const StepFailure& failure) {
    const std::string label = failure.label;
    if (label.rfind("Erasing", 0) == 0) {
        return ItemPhase::erase;
    }
    return label.rfind("Checking", 0) == 0 ? ItemPhase::verify : ItemPhase::program;
}

class StepFailureTest : public ProgrammingPhase,
                        public ::testing::WithParamInterface<StepFailure> {
  protected:
    void SetUp() override {
        ProgrammingPhase::SetUp();
        item_observer_install(&items_);
    }
    void TearDown() override {
        item_observer_install(nullptr);
        ProgrammingPhase::TearDown();
    }

    // Every item was found out of date; the failing one ends failed in its
    // phase, and only items rewritten before it end with a verify that succeeded.
    void expect_item_events(const StepFailure& failure) const {
        const WorkItem failed = reported_item(failure);
        bool before_failure = true;
        for (const WorkItem item :
             {WorkItem::bitstream, WorkItem::firmware, WorkItem::configuration_sequence,
              WorkItem::factory_bitstream, WorkItem::factory_firmware, WorkItem::usb_firmware,
              WorkItem::power_supply_a, WorkItem::power_supply_b}) {
            const std::vector<ItemEvent> events = items_.of(item);
            SCOPED_TRACE(work_item_name(item));
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events.front().phase, ItemPhase::check);
            EXPECT_EQ(events.front().outcome, ItemOutcome::needs_update);
            if (item == failed) {
                before_failure = false;
                EXPECT_EQ(events.back().phase, reported_phase(failure));
                EXPECT_EQ(events.back().outcome, ItemOutcome::failed);
            } else if (before_failure) {
                // The sequence goes first within the factory bitstream's stage.
                const bool same_stage = item == WorkItem::configuration_sequence &&
                                        failed == WorkItem::factory_bitstream;
                EXPECT_EQ(events.back().phase,
                          same_stage ? reported_phase(failure) : ItemPhase::verify);
                EXPECT_EQ(events.back().outcome, ItemOutcome::success);
            } else if (item != WorkItem::factory_bitstream) {
                // The factory bitstream's steps follow its sequence's in each stage.
                EXPECT_EQ(events.size(), 1U);
            }
        }
    }

    RecordedItems items_;
};

TEST_P(StepFailureTest, StopsThereAndASecondProgramRepairsTheInstrument) {
    const StepFailure& failure = GetParam();
    sim::Instrument& instrument = older_instrument();
    arm(failure, instrument);

    EXPECT_EQ(run_command(1), 1);

    EXPECT_EQ(window_.log(), log_stopping_at(failure.label, failed_outcome(failure)) + "\r\n");
    expect_item_events(failure);
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, failure.message);
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::warning);
    // The line is ended before the box is shown.
    const auto box = std::find_if(window_.calls.begin(), window_.calls.end(), [](const auto& call) {
        return call.rfind("message_box", 0) == 0;
    });
    ASSERT_NE(box, window_.calls.begin());
    EXPECT_EQ(*(box - 1), "log_replace_selection \r\n");
    // What came before is programmed; nothing after the failing item was touched.
    for (int item = BITSTREAM; item <= SUPPLY_B; ++item) {
        if (item < failure.item) {
            EXPECT_TRUE(item_current(instrument, static_cast<Item>(item))) << "item " << item;
        } else if (item > failure.item) {
            EXPECT_FALSE(item_current(instrument, static_cast<Item>(item))) << "item " << item;
        }
    }
    using sim::pmbus::RESTORE_DEFAULT_ALL;
    using sim::pmbus::STORE_DEFAULT_ALL;
    EXPECT_EQ(supply_command_sent(instrument, BUS_ADDRESS_SUPPLY_A, STORE_DEFAULT_ALL),
              failure.item > SUPPLY_A);
    EXPECT_FALSE(supply_command_sent(instrument, BUS_ADDRESS_SUPPLY_B, STORE_DEFAULT_ALL));
    // The check brings back each supply's stored values once; a supply left
    // half configured is put back to what it held before, and one that was
    // stored is brought back again to see that the store took effect.
    EXPECT_EQ(supply_commands_sent(instrument, BUS_ADDRESS_SUPPLY_A, RESTORE_DEFAULT_ALL),
              1 + (failure.item >= SUPPLY_A ? 1 : 0));
    EXPECT_EQ(supply_commands_sent(instrument, BUS_ADDRESS_SUPPLY_B, RESTORE_DEFAULT_ALL),
              1 + (failure.item == SUPPLY_B ? 1 : 0));
    expect_idle_window();

    disarm(instrument);
    program_again(instrument);

    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, UP_TO_DATE);
    EXPECT_TRUE(holds_current_set(instrument));
    expect_idle_window();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StepFailureTest,
    ::testing::Values(
        StepFailure{"EraseBitstream", BITSTREAM, Fault::erase_unanswered, 0,
                    "Erasing bitstream ... ", programming_failed("device bitstream")},
        StepFailure{"ProgramBitstream", BITSTREAM, Fault::write_unanswered, 0,
                    "Programming bitstream ... ", programming_failed("device bitstream")},
        StepFailure{"VerifyBitstream", BITSTREAM, Fault::stuck_bit, 0, "Checking bitstream ... ",
                    not_verified("bitstream")},
        StepFailure{"EraseFirmware", FIRMWARE, Fault::erase_unanswered, 1, "Erasing firmware ... ",
                    programming_failed("device firmware")},
        StepFailure{"ProgramFirmware", FIRMWARE, Fault::write_unanswered, 1,
                    "Programming firmware ... ", programming_failed("device firmware")},
        StepFailure{"VerifyFirmware", FIRMWARE, Fault::stuck_bit, 1, "Checking firmware ... ",
                    not_verified("firmware")},
        StepFailure{"EraseConfigurationSequence", FACTORY_BITSTREAM, Fault::erase_unanswered, 4,
                    "Erasing factory bitstream ... ", programming_failed("factory bitstream")},
        StepFailure{"EraseFactoryBitstream", FACTORY_BITSTREAM, Fault::erase_unanswered, 2,
                    "Erasing factory bitstream ... ", programming_failed("factory bitstream")},
        StepFailure{"ProgramConfigurationSequence", FACTORY_BITSTREAM, Fault::write_unanswered, 4,
                    "Programming factory bitstream ... ", programming_failed("factory bitstream")},
        StepFailure{"ProgramFactoryBitstream", FACTORY_BITSTREAM, Fault::write_unanswered, 2,
                    "Programming factory bitstream ... ", programming_failed("factory bitstream")},
        StepFailure{"VerifyConfigurationSequence", FACTORY_BITSTREAM, Fault::stuck_bit, 4,
                    "Checking factory bitstream ... ", not_verified("factory bitstream")},
        StepFailure{"VerifyFactoryBitstream", FACTORY_BITSTREAM, Fault::stuck_bit, 2,
                    "Checking factory bitstream ... ", not_verified("factory bitstream")},
        StepFailure{"EraseFactoryFirmware", FACTORY_FIRMWARE, Fault::erase_unanswered, 3,
                    "Erasing factory firmware ... ", programming_failed("factory firmware")},
        StepFailure{"ProgramFactoryFirmware", FACTORY_FIRMWARE, Fault::write_unanswered, 3,
                    "Programming factory firmware ... ", programming_failed("factory firmware")},
        StepFailure{"VerifyFactoryFirmware", FACTORY_FIRMWARE, Fault::stuck_bit, 3,
                    "Checking factory firmware ... ", not_verified("factory firmware")},
        StepFailure{"WriteUsbFirmware", USB_FIRMWARE, Fault::eeprom_write_nack, -1,
                    "Programming USB firmware ... ", programming_failed("USB firmware")},
        StepFailure{"VerifyUsbFirmware", USB_FIRMWARE, Fault::eeprom_read_corrupt, -1,
                    "Verifying USB firmware ... ", programming_failed("USB firmware")},
        StepFailure{"PowerSupplyA", SUPPLY_A, Fault::supply_a_nack, -1,
                    "Programming power supply A ... ",
                    may_be_unusable("The power configuration update failed")},
        StepFailure{"PowerSupplyB", SUPPLY_B, Fault::supply_b_nack, -1,
                    "Programming power supply B ... ",
                    may_be_unusable("The power configuration update failed")}),
    [](const ::testing::TestParamInfo<StepFailure>& step) { return step.param.name; });

// A write refused midway leaves an EEPROM that boots nothing (its marker was
// withdrawn first), never old code behind a new header: the next Program's
// restart finds the bare controller, recover brings it back, and the check
// finds the USB firmware out of date.
TEST_F(ProgrammingPhase, UsbFirmwareRefusedMidwayIsRepairedByTheNextRun) {
    const StepFailure failure{"WriteUsbFirmwareMidway",        USB_FIRMWARE,
                              Fault::eeprom_write_nack_midway, -1,
                              "Programming USB firmware ... ", programming_failed("USB firmware")};
    sim::Instrument& instrument = older_instrument();
    arm(failure, instrument);
    run_command(1);
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, failure.message);

    disarm(instrument);
    ASSERT_EQ(instrument.state_at_power_up(), sim::ControllerState::bare);
    program_again(instrument);

    EXPECT_NE(window_.log().find("Checking USB firmware ... needs update"), std::string::npos);
    EXPECT_TRUE(holds_usb_firmware(instrument));
    EXPECT_EQ(instrument.state_at_power_up(), sim::ControllerState::instrument);
}

// Every item of an instrument that is out of date in all eight: each operation
// starts where the programming phase's table puts it, in the table's order.
TEST_F(ProgrammingPhase, EveryOperationStartsTheOverallBarWhereTheTablePutsIt) {
    older_instrument();
    run_command(1);
    ASSERT_FALSE(window_.message_boxes.empty());
    ASSERT_EQ(window_.message_boxes.back().text, UP_TO_DATE) << window_.log();

    EXPECT_EQ(operation_starts(),
              (std::vector<std::uint32_t>{// upload and checks
                                          0, 1, 2, 5, 7, 10,
                                          // bitstream: erase from 10, program, verify
                                          42, 58,
                                          // firmware
                                          60, 62, 64,
                                          // configuration sequence, factory bitstream
                                          66, 67, 98, 114,
                                          // factory firmware
                                          116, 118, 120,
                                          // USB firmware, supplies A and B with their stores
                                          122, 124, 125, 126, 127}));
    EXPECT_EQ(window_.progress_history(IDC_OVERALL_PROGRESS).back(), 0U);
}

// ---- the factory bitstream and its configuration sequence ----

class FactoryBitstream : public ProgrammingPhase {
  protected:
    // A current instrument whose region of one selector holds an older image.
    sim::Instrument& instrument_with_older(int selector) {
        sim::Instrument& instrument = attach(22);
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        instrument.flash(placement.device)
            .load(placement.start, sim::older_flash_image(images().flash_image(selector)));
        device_list_refresh(nullptr);
        return instrument;
    }

    // How many commands of an opcode were aimed inside a selector's region.
    int commands_in(const sim::Instrument& instrument, std::uint32_t opcode, int selector) const {
        RegionWatch watch(opcode, selector, images());
        int count = 0;
        for (const sim::TransferRecord& transfer : instrument.transfers()) {
            if (transfer.kind == sim::TransferKind::bulk && !transfer.in) {
                count += watch.hits(transfer.data) ? 1 : 0;
            }
        }
        return count;
    }
};

TEST_F(FactoryBitstream, OnlyTheConfigurationSequenceOutOfDateIsRewrittenAlone) {
    sim::Instrument& instrument = instrument_with_older(4);

    run_command(1);

    EXPECT_EQ(window_.log(), RESTARTED + UPLOADED +
                                 "Checking firmware ... up to date\r\n"
                                 "Checking bitstream ... up to date\r\n"
                                 "Checking factory firmware ... up to date\r\n"
                                 "Checking factory bitstream ... needs update\r\n"
                                 "Checking USB firmware ... up to date\r\n"
                                 "Checking power supply A ... up to date\r\n"
                                 "Checking power supply B ... up to date\r\n"
                                 "Erasing factory bitstream ... success\r\n"
                                 "Programming factory bitstream ... success\r\n"
                                 "Checking factory bitstream ... success\r\n");
    EXPECT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(flash_commands(instrument, FLASH_ERASE), commands_in(instrument, FLASH_ERASE, 4));
    EXPECT_EQ(commands_in(instrument, FLASH_ERASE, 4), 1);
    EXPECT_EQ(flash_commands(instrument, FLASH_WRITE), commands_in(instrument, FLASH_WRITE, 4));
    EXPECT_EQ(commands_in(instrument, FLASH_WRITE, 2), 0);
    // The check read the factory bitstream once; the programming did not read it again.
    EXPECT_EQ(commands_in(instrument, FLASH_READ, 2),
              static_cast<int>((images().factory_bitstream.size() + 1023) / 1024));
    EXPECT_TRUE(holds_current_set(instrument));
}

// Both out of date: within each stage the configuration sequence comes first.
TEST_F(FactoryBitstream, BothOutOfDateTheConfigurationSequenceGoesFirstInEachStage) {
    sim::Instrument& instrument = attach(23);
    for (const int selector : {2, 4}) {
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        instrument.flash(placement.device)
            .load(placement.start, sim::older_flash_image(images().flash_image(selector)));
    }
    device_list_refresh(nullptr);

    run_command(1);

    // The transfer at which commands of each opcode first reach each region.
    const auto first_in = [&](std::uint32_t opcode, int selector, std::size_t from) {
        RegionWatch watch(opcode, selector, images());
        const auto& transfers = instrument.transfers();
        for (std::size_t i = from; i < transfers.size(); ++i) {
            if (transfers[i].kind == sim::TransferKind::bulk && !transfers[i].in &&
                watch.hits(transfers[i].data)) {
                return i;
            }
        }
        return transfers.size();
    };
    const std::size_t erase_sequence = first_in(FLASH_ERASE, 4, 0);
    const std::size_t erase_factory = first_in(FLASH_ERASE, 2, 0);
    const std::size_t write_sequence = first_in(FLASH_WRITE, 4, 0);
    const std::size_t write_factory = first_in(FLASH_WRITE, 2, 0);
    const std::size_t read_sequence = first_in(FLASH_READ, 4, write_factory);
    const std::size_t read_factory = first_in(FLASH_READ, 2, write_factory);
    EXPECT_LT(erase_sequence, erase_factory);
    EXPECT_LT(erase_factory, write_sequence);
    EXPECT_LT(write_sequence, write_factory);
    EXPECT_LT(read_sequence, read_factory);
    EXPECT_LT(read_factory, instrument.transfers().size());
    EXPECT_NE(window_.log().find("Erasing factory bitstream ... success\r\n"
                                 "Programming factory bitstream ... success\r\n"
                                 "Checking factory bitstream ... success\r\n"),
              std::string::npos)
        << window_.log();
    EXPECT_TRUE(holds_current_set(instrument));
}

TEST_F(FactoryBitstream, OnlyTheFactoryBitstreamOutOfDateIsRewrittenAlone) {
    sim::Instrument& instrument = instrument_with_older(2);

    run_command(1);

    EXPECT_NE(window_.log().find("Checking factory bitstream ... needs update\r\n"
                                 "Checking USB firmware ... up to date\r\n"),
              std::string::npos);
    EXPECT_NE(window_.log().find("Checking factory bitstream ... success\r\n"), std::string::npos)
        << window_.log();
    EXPECT_EQ(commands_in(instrument, FLASH_ERASE, 4), 0);
    EXPECT_EQ(commands_in(instrument, FLASH_WRITE, 4), 0);
    EXPECT_GT(commands_in(instrument, FLASH_ERASE, 2), 0);
    EXPECT_EQ(flash_commands(instrument, FLASH_ERASE), commands_in(instrument, FLASH_ERASE, 2));
    // The configuration sequence is read by the check only: its result stands.
    EXPECT_EQ(commands_in(instrument, FLASH_READ, 4), 1);
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, UP_TO_DATE);
    EXPECT_TRUE(holds_current_set(instrument));
}

}  // namespace
