#include <gtest/gtest.h>

#include "device/usb.h"

namespace {

TEST(ParseGuid, InstrumentClassWithMixedCaseDigits) {
    Guid guid;
    ASSERT_EQ(_parse_guid("{461498B6-D2FB-40c5-95DD-6E377F19F50E}", &guid), 0);
    EXPECT_EQ(guid.data1, 0x461498B6U);
    EXPECT_EQ(guid.data2, 0xD2FB);
    EXPECT_EQ(guid.data3, 0x40C5);
    const std::uint8_t data4[8] = {0x95, 0xDD, 0x6E, 0x37, 0x7F, 0x19, 0xF5, 0x0E};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(guid.data4[i], data4[i]) << i;
    }
}

struct GuidCase {
    const char* text;
    int expected;
};

class ParseGuidErrors : public testing::TestWithParam<GuidCase> {};

TEST_P(ParseGuidErrors, ReturnsItsCodeAndLeavesTheResultAlone) {
    Guid guid;
    guid.data1 = 0x12345678;
    EXPECT_EQ(_parse_guid(GetParam().text, &guid), GetParam().expected) << GetParam().text;
    EXPECT_EQ(guid.data1, 0x12345678U);
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, ParseGuidErrors,
    testing::Values(GuidCase{nullptr, -1}, GuidCase{"461498B6-D2FB-40c5-95DD-6E377F19F50E}", -2},
                    GuidCase{"{461498B-D2FB-40c5-95DD-6E377F19F50E}", -3},
                    GuidCase{"{461498B6-D2FB-40c5-95DD-6E377F19F50}", -3},
                    GuidCase{"{461498B6-D2FB-40c5-95DD-6E377F19F50E-}", -4},
                    GuidCase{"{461498B6-D2FB-40c5-95DD}", -5},
                    GuidCase{"{461498B6-D2FB-40c5-95DD-6E377F19F50G}", -6},
                    GuidCase{"{461498B6 -D2FB-40c5-95DD-6E377F19F50E}", -6},
                    GuidCase{"{461498B61-D2FB-40c5-95DD-6E377F19F50E}", -7},
                    GuidCase{"{461498B6-D2FB-40c5-95DD-6E377F19F50E} ", -8},
                    GuidCase{"{461498B6-D2FB-40c5-95DD-6E377F19F50E", -9}, GuidCase{"", -9},
                    GuidCase{"{", -9}));

TEST(ParseGuid, NullResultIsRefused) {
    EXPECT_EQ(_parse_guid("{461498B6-D2FB-40c5-95DD-6E377F19F50E}", nullptr), -1);
}

}  // namespace
