// Discovery over a libusb context of the test's own, through real libusb
// against umockdev's stand-in devices: instruments and bare controllers are
// told apart, and a device is found again by its port path alone.
#include <gtest/gtest.h>

#include <libusb.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/libusb/libusb_discovery.h"
#include "sim/sim.h"
#include "sim/synthetic_images.h"
#include "support/umockdev_test.h"

namespace {

// A context that scans the stand-in's devices as they are when it is made.
class OwnContext {
  public:
    OwnContext() {
        if (libusb_init(&context_) != LIBUSB_SUCCESS) {
            context_ = nullptr;
        }
    }
    ~OwnContext() {
        if (context_ != nullptr) {
            libusb_exit(context_);
        }
    }
    OwnContext(const OwnContext&) = delete;
    OwnContext& operator=(const OwnContext&) = delete;

    libusb_context* get() const { return context_; }

  private:
    libusb_context* context_ = nullptr;
};

constexpr InstrumentUsbIds SYNTHETIC_IDS{sim::SYNTHETIC_VENDOR_ID, sim::SYNTHETIC_PRODUCT_ID};

class LibusbDiscoveryTest : public UmockdevTest {
  protected:

    // The port path the stand-in gives the attached device.
    std::string attach(sim::InstrumentConfig config) {
        config.timing = sim::Timing::instant();
        const std::string sim_path =
            harness_->bus().attach(std::move(config), images_.set()).path();
        harness_->usbfs().sync();
        return harness_->usbfs().port_path_of(sim_path).value_or("");
    }

    sim::SyntheticImages images_;
};

TEST_F(LibusbDiscoveryTest, InstrumentsAndBareControllersAreListedApartAndFoundByPath) {
    const std::string instrument = attach({});
    sim::InstrumentConfig blank;
    blank.initial.eeprom = sim::Contents::blank;
    const std::string bare = attach(blank);
    sim::InstrumentConfig other_ids;
    sim::BootIdentity identity;
    identity.vendor_id = 0x1234;
    identity.product_id = sim::SYNTHETIC_PRODUCT_ID;
    other_ids.usb.device_descriptor = sim::make_device_descriptor(identity, true);
    const std::string other = attach(other_ids);
    ASSERT_FALSE(instrument.empty() || bare.empty() || other.empty());
    const OwnContext context;
    ASSERT_NE(context.get(), nullptr);

    EXPECT_EQ(libusb_port_paths(context.get(), SYNTHETIC_IDS, LibusbDeviceKind::instrument),
              std::vector<std::string>{instrument});
    EXPECT_EQ(libusb_port_paths(context.get(), SYNTHETIC_IDS, LibusbDeviceKind::bare_controller),
              std::vector<std::string>{bare});

    const std::optional<LocatedLibusbDevice> located =
        locate_libusb_device(context.get(), SYNTHETIC_IDS, bare);
    ASSERT_TRUE(located.has_value());
    EXPECT_EQ(libusb_port_path(located->device.get()), bare);
    EXPECT_FALSE(locate_libusb_device(context.get(), SYNTHETIC_IDS, other).has_value());
    EXPECT_FALSE(locate_libusb_device(context.get(), SYNTHETIC_IDS, "usb:1-9").has_value());
}

}  // namespace
