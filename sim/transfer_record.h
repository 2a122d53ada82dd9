#pragma once
// What a bus analyser between host and instrument would show: every control
// and bulk transfer that reached the instrument, in the order they began.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/usb.h"

namespace sim {

enum class TransferKind { control, bulk };

enum class TransferStatus {
    pending,    // a bulk transfer still in flight
    completed,  // done; `transferred` bytes moved
    failed,     // stalled, not acknowledged, or cut by power loss or the device leaving
    aborted,    // cancelled by the host
};

struct TransferRecord {
    TransferKind kind = TransferKind::control;
    bool in = false;            // device to host
    UsbSetupPacket setup;       // control transfers
    std::uint8_t endpoint = 0;  // bulk transfers
    std::size_t requested = 0;  // bytes the host offered or asked for
    std::size_t transferred = 0;
    std::vector<std::uint8_t> data;  // the bytes moved (bulk data only while recording keeps it)
    TransferStatus status = TransferStatus::pending;
    std::uint64_t start_us = 0;
    std::uint64_t end_us = 0;
};

}  // namespace sim
