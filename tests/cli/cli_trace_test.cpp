// The command-line program's Program run as the wire sees it: every transfer
// of its trace, against the trace the program wrote before its items became
// rows of one table. Run as a process, with a deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/program_run.h"


namespace {

// The trace of that run as the program wrote it before its items became rows
// of one table (commit f2d8ee2).
constexpr std::size_t PROGRAM_TRACE_RECORDS = 411008;
constexpr std::uint64_t PROGRAM_TRACE_HASH = 0x1e8284e6f5862382ULL;

struct TraceDigest {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a, 64 bits
    std::size_t records = 0;
    bool complete = true;

    void add(const unsigned char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            hash = (hash ^ bytes[i]) * 1099511628211ULL;
        }
    }
};

// Every record of a pcap trace (link type 220) but its times: the record's
// own and the usbmon header's, which follow the clock, not the transfers.
TraceDigest trace_digest(const std::string& path) {
    constexpr std::size_t FILE_HEADER = 24;
    constexpr std::size_t RECORD_HEADER = 16;
    constexpr std::size_t USBMON_TIMES_FROM = 16;
    constexpr std::size_t USBMON_TIMES_TO = 28;
    TraceDigest digest;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        digest.complete = false;
        return digest;
    }
    std::vector<unsigned char> bytes(FILE_HEADER);
    digest.complete = std::fread(bytes.data(), 1, FILE_HEADER, file) == FILE_HEADER;
    unsigned char header[RECORD_HEADER];
    while (digest.complete && std::fread(header, 1, RECORD_HEADER, file) == RECORD_HEADER) {
        const std::size_t captured = header[8] | header[9] << 8 | header[10] << 16 |
                                     static_cast<std::size_t>(header[11]) << 24;
        bytes.resize(captured);
        digest.complete = captured >= USBMON_TIMES_TO &&
                          std::fread(bytes.data(), 1, captured, file) == captured;
        if (digest.complete) {
            std::fill(bytes.begin() + USBMON_TIMES_FROM, bytes.begin() + USBMON_TIMES_TO, 0);
            digest.add(header + 8, 8);  // the lengths
            digest.add(bytes.data(), captured);
            ++digest.records;
        }
    }
    std::fclose(file);
    return digest;
}

}  // namespace

// Each of the eight items is a row of one table that the phases read; the
// wire must not tell: a Program run of an older instrument moves the bytes,
// in the order and with the results, that it moved before the rows existed.
TEST(CommandLineTrace, AProgramRunOfAnOlderInstrumentMovesTheSameTransfersAsBefore) {
    const std::string trace = testing::TempDir() + "program-outdated.pcap";
    const ProgramRun program = run_program(
        OMBRIX_CLI_PATH, {"program", "--simulate=outdated", "--speed-up", "0", "--yes", "--trace", trace});
    ASSERT_EQ(program.exit_code, 0) << described(program);
    const TraceDigest digest = trace_digest(trace);
    std::remove(trace.c_str());
    ASSERT_TRUE(digest.complete);
    EXPECT_EQ(digest.records, PROGRAM_TRACE_RECORDS);
    EXPECT_EQ(digest.hash, PROGRAM_TRACE_HASH);
}
