#pragma once
// The run's closing messages that the front ends and their tests recognise.

inline constexpr const char* SUMMARY_UP_TO_DATE =
    "All the internal firmwares are up to date.\r\n"
    "Please power-cycle the device to resume normal operation.";

inline constexpr const char* STOPPED_LOG = "Stopped on request.";
inline constexpr const char* STOPPED_BEFORE_WRITING =
    "The run was stopped before anything was written; the device holds what it held "
    "before.\r\nRun the command again to complete it.";
