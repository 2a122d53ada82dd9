#pragma once
// The texts a user sees of a run: the log lines of each item and the message
// boxes, as the tests expect them word for word.
#include <string>

namespace command_test {

inline const std::string UP_TO_DATE =
    "All the internal firmwares are up to date.\r\n"
    "Please power-cycle the device to resume normal operation.";
inline const std::string ALREADY_UP_TO_DATE =
    "All the internal firmwares are already up to date, no re-programming is needed.\r\n"
    "Please power-cycle the device to resume normal operation.";
inline const std::string MISMATCH =
    "Some of the internal firmwares do not match the available version.\r\n"
    "Please program the device in order to enable all the new features or power-cycle the "
    "device to resume normal operation with the existing versions.";
inline const std::string BUSY = "Another process is already active, please wait until it finishes.";
inline const std::string NOT_FOUND =
    "Internal error - the device was not found after restarting. Please restart both the device "
    "and the utility and, if the problem persists, contact Talvenor AG for further assistance.";
inline const std::string CANNOT_ACCESS =
    "The selected device can not be accessed, please try to terminate all other instances of "
    "this utility, unplug and reconnect the USB cable and refresh the device list. If the "
    "problem persists please contact Talvenor AG for further assistance.";

// "The device firmware version could not be verified, ..." of the check phase.
inline std::string unverified(const std::string& what) {
    return what +
           " could not be verified, please try to terminate all other instances of this utility, "
           "unplug and reconnect the USB cable and refresh the device list. If the problem "
           "persists please contact Talvenor AG for further assistance.";
}

// "The device bitstream programming failed, ..." of the programming phase.
inline std::string may_be_unusable(const std::string& what) {
    return what +
           ", the device may become unusable now.\r\nPlease try to program it again and, if the "
           "problem persists, contact Talvenor AG for further assistance";
}

inline const std::string RESTARTED = "Restarting the device ... done\r\n";
inline const std::string UPLOADED = "Uploading the flash core ... success\r\n";

inline const std::string ALL_CHECKS_CURRENT =
    "Checking firmware ... up to date\r\n"
    "Checking bitstream ... up to date\r\n"
    "Checking factory firmware ... up to date\r\n"
    "Checking factory bitstream ... up to date\r\n"
    "Checking USB firmware ... up to date\r\n"
    "Checking power supply A ... up to date\r\n"
    "Checking power supply B ... up to date\r\n";
inline const std::string ALL_CHECKS_OUT_OF_DATE =
    "Checking firmware ... needs update\r\n"
    "Checking bitstream ... needs update\r\n"
    "Checking factory firmware ... needs update\r\n"
    "Checking factory bitstream ... needs update\r\n"
    "Checking USB firmware ... needs update\r\n"
    "Checking power supply A ... needs update\r\n"
    "Checking power supply B ... needs update\r\n";

// The programming of every item, in its order.
inline const std::string PROGRAMMED_EVERYTHING =
    "Erasing bitstream ... success\r\n"
    "Programming bitstream ... success\r\n"
    "Checking bitstream ... success\r\n"
    "Erasing firmware ... success\r\n"
    "Programming firmware ... success\r\n"
    "Checking firmware ... success\r\n"
    "Erasing factory bitstream ... success\r\n"
    "Programming factory bitstream ... success\r\n"
    "Checking factory bitstream ... success\r\n"
    "Erasing factory firmware ... success\r\n"
    "Programming factory firmware ... success\r\n"
    "Checking factory firmware ... success\r\n"
    "Programming USB firmware ... done\r\n"
    "Verifying USB firmware ... done\r\n"
    "Programming power supply A ... done\r\n"
    "Programming power supply B ... done\r\n";

// A full run's log up to the line that begins with label, which ends with
// outcome instead ("Erasing firmware ... " + "failed").
inline std::string log_stopping_at(const std::string& label, const std::string& outcome) {
    const std::string full = RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE + PROGRAMMED_EVERYTHING;
    const std::size_t programming = (RESTARTED + UPLOADED + ALL_CHECKS_OUT_OF_DATE).size();
    const std::size_t at = full.find(label, programming);
    if (at == std::string::npos) {
        return "(no line " + label + ")";
    }
    return full.substr(0, at) + label + outcome;
}

}  // namespace command_test
