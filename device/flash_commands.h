#pragma once
// Command frames for the flash core running in the instrument's FPGA, and the
// identification query every flash operation starts and ends with.
#include <cstdint>
#include <span>

#include "device/usb.h"

// Command words: the opcode in bits 28 to 31; a flash byte address or a
// parameter is OR-ed into the low bits.
constexpr std::uint32_t FLASH_CMD_IDENTIFY = 0x01000000;
constexpr std::uint32_t FLASH_CMD_UPDATE_END_A = 0x02000000;
constexpr std::uint32_t FLASH_CMD_UPDATE_BEGIN = 0x03000000;
constexpr std::uint32_t FLASH_CMD_UPDATE_END_B = 0x04000000;
constexpr std::uint32_t FLASH_CMD_SELECT = 0x05000000;  // + flash device 0 or 1
constexpr std::uint32_t FLASH_CMD_WRITE = 0x10000000;   // + page address
constexpr std::uint32_t FLASH_CMD_ERASE = 0x20000000;   // + sector address
constexpr std::uint32_t FLASH_CMD_READ = 0x30000000;    // + start address
constexpr std::uint32_t FLASH_CMD_MODE = 0xF0000000;    // + mode

constexpr int FLASH_PAGE_SIZE = 256;
constexpr int FLASH_COMMAND_FRAME_SIZE = 20;                      // header + command word
constexpr int FLASH_PAGE_FRAME_SIZE = 20 + FLASH_PAGE_SIZE;       // 276
constexpr int FLASH_COMMAND_BUFFER_SIZE = FLASH_PAGE_FRAME_SIZE;  // the largest frame
constexpr int FLASH_COMMAND_TIMEOUT_MS = 250;
constexpr int FLASH_ACCESS_ATTEMPTS = 10;
constexpr std::uint8_t FLASH_JEDEC_MANUFACTURER = 0x20;
constexpr std::uint8_t FLASH_JEDEC_MEMORY_TYPE = 0x20;

// Every command frame is assembled here and written whole before its transfer.
extern std::uint8_t flash_command_buffer[FLASH_COMMAND_BUFFER_SIZE];

// Results of flash_command and flash_write_page besides the negative result
// of the write (one of the USB_ERR_* codes).
constexpr int FLASH_FRAME_SENT = 0;          // the frame went out whole
constexpr int FLASH_FRAME_PARTLY_TAKEN = 1;  // the write took only part of the frame

// Sends one plain command frame on pipe 0x02: FLASH_FRAME_SENT,
// FLASH_FRAME_PARTLY_TAKEN, or the negative result of the write.
int flash_command(UsbDevice* device, std::uint32_t command_word);

// Sends a page program frame for the 256 bytes at address; results as flash_command.
int flash_write_page(UsbDevice* device, std::uint32_t address,
                     std::span<const std::uint8_t, FLASH_PAGE_SIZE> data);

// Sends the two closing frames of an erase or programming run in one write.
void flash_update_end(UsbDevice* device);

// Asks the flash for its JEDEC identification, up to ten times: its capacity
// code (0 to 255), or FLASH_NOT_IDENTIFIED when no valid identification came back.
constexpr int FLASH_NOT_IDENTIFIED = -1;
int flash_access(UsbDevice* device);
