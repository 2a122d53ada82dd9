#pragma once
// The notice that the instrument is being written, given once, as its first
// erase or program begins: an interruption from there on leaves it to be
// repaired by another run.
#include "sequence/item_report.h"

constexpr const char* WRITE_NOTICE_TEXT =
    "Writing to the instrument: keep it connected and powered until the end.";

class WriteNotice {
public:
    // True for the first event of an erase or a program beginning; false for
    // every other event, and for every event after that one.
    bool due(const ItemEvent& event);

private:
    bool given_ = false;
};
