#pragma once
// The arithmetic of the two progress bars, shared by every operation that
// moves them: unsigned 32-bit, truncating, as the bars have always moved.
#include <cstdint>

#include "window/window_port.h"

// The overall-bar span an operation owns: to - from, or 1 when to is not greater.
inline std::uint32_t progress_span(int overall_from, int overall_to) {
    return overall_to > overall_from ? static_cast<std::uint32_t>(overall_to - overall_from) : 1U;
}

// Moves both bars to done out of total: the current-task bar to done * 128 /
// total, the overall bar to from + span * done / total.
inline void progress_report(int overall_from, std::uint32_t span, std::uint32_t done,
                            std::uint32_t total) {
    if (total == 0) {
        return;
    }
    progress_task(done * PROGRESS_FULL / total);
    progress_overall(static_cast<std::uint32_t>(overall_from) + span * done / total);
}
