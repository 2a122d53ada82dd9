#pragma once
// A test against real libusb with umockdev standing in for sysfs and usbfs:
// skipped unless umockdev's preload library is loaded, on the harness's
// virtual clock while it runs.
#include <gtest/gtest.h>

#include <memory>

#include "device/clock.h"
#include "support/umockdev_harness.h"

class UmockdevTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!UmockdevUsbfs::preloaded()) {
            GTEST_SKIP() << "needs umockdev's preload library (run under umockdev-wrapper)";
        }
        harness_ = std::make_unique<UmockdevLibusbHarness>();
        clock_install(&harness_->clock());
    }
    void TearDown() override { clock_install(nullptr); }

    std::unique_ptr<UmockdevLibusbHarness> harness_;
};
