// Report descriptor parser tests: report lengths and value caps as a Windows-style driver counts them.
#include "hidlib/report_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

static bool operator==(const ValueCap& a, const ValueCap& b) {
    return a.usage == b.usage && a.report_id == b.report_id && a.bit_size == b.bit_size &&
           a.report_count == b.report_count;
}

// Readable failures: gtest would otherwise print raw bytes.
static void PrintTo(const ValueCap& c, std::ostream* os) {
    *os << "{usage 0x" << std::hex << c.usage << std::dec << ", id " << int{c.report_id} << ", bits "
        << c.bit_size << ", count " << c.report_count << "}";
}

namespace {

using Bytes = std::vector<uint8_t>;
using Caps = std::vector<ValueCap>;

ReportCaps parse(const Bytes& d) {
    return parse_report_descriptor(d);
}

const Bytes boot_keyboard = {
    0x05, 0x01, // Usage Page (Generic Desktop)
    0x09, 0x06, // Usage (Keyboard)
    0xA1, 0x01, // Collection (Application)
    0x05, 0x07, //   Usage Page (Keyboard/Keypad)
    0x19, 0xE0, //   Usage Minimum (Left Control)
    0x29, 0xE7, //   Usage Maximum (Right GUI)
    0x15, 0x00, //   Logical Minimum (0)
    0x25, 0x01, //   Logical Maximum (1)
    0x75, 0x01, //   Report Size (1)
    0x95, 0x08, //   Report Count (8)
    0x81, 0x02, //   Input (Data, Var, Abs): modifier bits
    0x95, 0x01, //   Report Count (1)
    0x75, 0x08, //   Report Size (8)
    0x81, 0x01, //   Input (Const): reserved byte
    0x95, 0x05, //   Report Count (5)
    0x75, 0x01, //   Report Size (1)
    0x05, 0x08, //   Usage Page (LEDs)
    0x19, 0x01, //   Usage Minimum (Num Lock)
    0x29, 0x05, //   Usage Maximum (Kana)
    0x91, 0x02, //   Output (Data, Var, Abs): LED bits
    0x95, 0x01, //   Report Count (1)
    0x75, 0x03, //   Report Size (3)
    0x91, 0x01, //   Output (Const): LED padding
    0x95, 0x06, //   Report Count (6)
    0x75, 0x08, //   Report Size (8)
    0x15, 0x00, //   Logical Minimum (0)
    0x25, 0x65, //   Logical Maximum (101)
    0x05, 0x07, //   Usage Page (Keyboard/Keypad)
    0x19, 0x00, //   Usage Minimum (0)
    0x29, 0x65, //   Usage Maximum (101)
    0x81, 0x00, //   Input (Data, Array): key codes
    0xC0,       // End Collection
};

const Bytes three_button_mouse = {
    0x05, 0x01, // Usage Page (Generic Desktop)
    0x09, 0x02, // Usage (Mouse)
    0xA1, 0x01, // Collection (Application)
    0x09, 0x01, //   Usage (Pointer)
    0xA1, 0x00, //   Collection (Physical)
    0x05, 0x09, //     Usage Page (Button)
    0x19, 0x01, //     Usage Minimum (1)
    0x29, 0x03, //     Usage Maximum (3)
    0x15, 0x00, //     Logical Minimum (0)
    0x25, 0x01, //     Logical Maximum (1)
    0x95, 0x03, //     Report Count (3)
    0x75, 0x01, //     Report Size (1)
    0x81, 0x02, //     Input (Data, Var, Abs): buttons
    0x95, 0x01, //     Report Count (1)
    0x75, 0x05, //     Report Size (5)
    0x81, 0x01, //     Input (Const): padding
    0x05, 0x01, //     Usage Page (Generic Desktop)
    0x09, 0x30, //     Usage (X)
    0x09, 0x31, //     Usage (Y)
    0x09, 0x38, //     Usage (Wheel)
    0x15, 0x81, //     Logical Minimum (-127)
    0x25, 0x7F, //     Logical Maximum (127)
    0x75, 0x08, //     Report Size (8)
    0x95, 0x03, //     Report Count (3)
    0x81, 0x06, //     Input (Data, Var, Rel)
    0xC0,       //   End Collection
    0xC0,       // End Collection
};

const Bytes vendor_64 = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x09, 0x01,       //   Usage (1)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x09, 0x02,       //   Usage (2)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xC0,             // End Collection
};

// Report 1 is the largest input report in total although report 2 has the largest single item.
const Bytes multi_id = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID (1)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x04,       //   Report Count (4)
    0x09, 0x10,       //   Usage (0x10)
    0x81, 0x02,       //   Input (Data, Var, Abs): 4 bytes in report 1
    0x85, 0x02,       //   Report ID (2)
    0x95, 0x10,       //   Report Count (16)
    0x09, 0x11,       //   Usage (0x11)
    0x81, 0x02,       //   Input (Data, Var, Abs): 16 bytes in report 2
    0x75, 0x10,       //   Report Size (16)
    0x95, 0x02,       //   Report Count (2)
    0x09, 0x12,       //   Usage (0x12)
    0x91, 0x02,       //   Output (Data, Var, Abs): 4 bytes in report 2
    0x85, 0x03,       //   Report ID (3)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x07,       //   Report Count (7)
    0x09, 0x13,       //   Usage (0x13)
    0xB1, 0x02,       //   Feature (Data, Var, Abs): 7 bytes in report 3
    0x85, 0x01,       //   Report ID (1)
    0x95, 0x0E,       //   Report Count (14)
    0x09, 0x14,       //   Usage (0x14)
    0x81, 0x02,       //   Input (Data, Var, Abs): 14 more bytes in report 1
    0xC0,             // End Collection
};

// --- Real devices -----------------------------------------------------------------------------

TEST(ReportDescriptorDevices, BootKeyboardHasOnlyButtonsAndArrays) {
    const ReportCaps caps = parse(boot_keyboard);
    EXPECT_EQ(caps.input_length, 9);
    EXPECT_EQ(caps.output_length, 2);
    EXPECT_EQ(caps.feature_length, 0);
    EXPECT_TRUE(caps.input.empty());
    EXPECT_TRUE(caps.output.empty());
    EXPECT_TRUE(caps.feature.empty());
}

TEST(ReportDescriptorDevices, MouseAxesAreValueCapsInOrder) {
    const ReportCaps caps = parse(three_button_mouse);
    EXPECT_EQ(caps.input_length, 5);
    EXPECT_EQ(caps.output_length, 0);
    EXPECT_EQ(caps.feature_length, 0);
    EXPECT_EQ(caps.input, (Caps{{0x30, 0, 8, 1}, {0x31, 0, 8, 1}, {0x38, 0, 8, 1}}));
    EXPECT_TRUE(caps.output.empty());
}

TEST(ReportDescriptorDevices, Vendor64ByteReportsInAndOut) {
    const ReportCaps caps = parse(vendor_64);
    EXPECT_EQ(caps.input_length, 65);
    EXPECT_EQ(caps.output_length, 65);
    EXPECT_EQ(caps.feature_length, 0);
    EXPECT_EQ(caps.input, (Caps{{1, 1, 8, 64}}));
    EXPECT_EQ(caps.output, (Caps{{2, 1, 8, 64}}));
    EXPECT_TRUE(caps.feature.empty());
}

TEST(ReportDescriptorDevices, SeveralReportIdsTakeLargestReportAndOwnIds) {
    const ReportCaps caps = parse(multi_id);
    EXPECT_EQ(caps.input_length, 19);  // report 1: 4 + 14 bytes, plus the ID
    EXPECT_EQ(caps.output_length, 5);  // report 2: 4 bytes, plus the ID
    EXPECT_EQ(caps.feature_length, 8); // report 3: 7 bytes, plus the ID
    EXPECT_EQ(caps.input, (Caps{{0x10, 1, 8, 4}, {0x11, 2, 8, 16}, {0x14, 1, 8, 14}}));
    EXPECT_EQ(caps.output, (Caps{{0x12, 2, 16, 2}}));
    EXPECT_EQ(caps.feature, (Caps{{0x13, 3, 8, 7}}));
}

// --- Report lengths ---------------------------------------------------------------------------

TEST(ReportDescriptorLengths, NoReportsGiveZero) {
    EXPECT_EQ(parse({}).input_length, 0);
    const ReportCaps caps = parse({
        0x05, 0x01, // Usage Page (Generic Desktop)
        0x09, 0x02, // Usage (Mouse)
        0xA1, 0x01, // Collection (Application)
        0xC0,       // End Collection
    });
    EXPECT_EQ(caps.input_length, 0);
    EXPECT_EQ(caps.output_length, 0);
    EXPECT_EQ(caps.feature_length, 0);
}

TEST(ReportDescriptorLengths, OddBitsRoundUpToWholeBytes) {
    const ReportCaps caps = parse({
        0x75, 0x01, // Report Size (1)
        0x95, 0x09, // Report Count (9)
        0xB1, 0x02, // Feature (Data, Var, Abs): 9 bits
    });
    EXPECT_EQ(caps.feature_length, 3); // 2 bytes, plus the ID byte
    EXPECT_EQ(caps.input_length, 0);
}

TEST(ReportDescriptorLengths, ItemsWithoutIdCountAsReportZero) {
    // A Report ID only applies from where it appears, so the first item goes to report 0.
    const ReportCaps caps = parse({
        0x75, 0x08, // Report Size (8)
        0x95, 0x05, // Report Count (5)
        0x81, 0x03, // Input (Const): 5 bytes in report 0
        0x85, 0x04, // Report ID (4)
        0x95, 0x03, // Report Count (3)
        0x81, 0x03, // Input (Const): 3 bytes in report 4
    });
    EXPECT_EQ(caps.input_length, 6);
}

TEST(ReportDescriptorLengths, MultiByteDataIsLittleEndian) {
    const ReportCaps caps = parse({
        0x75, 0x01,                   // Report Size (1)
        0x96, 0x00, 0x01,             // Report Count (256)
        0x81, 0x03,                   // Input (Const): 256 bits
        0x97, 0x00, 0x00, 0x01, 0x00, // Report Count (65536)
        0x91, 0x03,                   // Output (Const): 65536 bits
        0x95, 0xF0,                   // Report Count (240): unsigned although the top bit is set
        0xB1, 0x03,                   // Feature (Const): 240 bits
    });
    EXPECT_EQ(caps.input_length, 33);
    EXPECT_EQ(caps.output_length, 8193);
    EXPECT_EQ(caps.feature_length, 31);
}

TEST(ReportDescriptorLengths, ClampToSixteenBitsWithoutOverflow) {
    const ReportCaps caps = parse({
        0x75, 0x08,                   // Report Size (8)
        0x96, 0xFF, 0xFF,             // Report Count (65535)
        0x81, 0x03,                   // Input (Const): 65535 bytes, one more than fits with the ID
        0x96, 0xFE, 0xFF,             // Report Count (65534)
        0x91, 0x03,                   // Output (Const): 65534 bytes, exactly fits with the ID
        0x77, 0x00, 0x00, 0x00, 0x80, // Report Size (2^31)
        0x97, 0x00, 0x00, 0x00, 0x80, // Report Count (2^31)
        0xB1, 0x03,                   // Feature (Const): 2^62 bits
        0xB1, 0x03,                   // Feature (Const): 2^63 bits
        0xB1, 0x03,                   // Feature (Const)
        0xB1, 0x03,                   // Feature (Const): 2^64 bits, which a plain sum wraps to 0
    });
    EXPECT_EQ(caps.input_length, 65535);
    EXPECT_EQ(caps.output_length, 65535);
    EXPECT_EQ(caps.feature_length, 65535);
}

// --- Value caps -------------------------------------------------------------------------------

TEST(ReportDescriptorValueCaps, ButtonsArraysAndPaddingAreNotValues) {
    const ReportCaps caps = parse({
        0x09, 0x01, // Usage (1)
        0x75, 0x01, // Report Size (1)
        0x95, 0x04, // Report Count (4)
        0x81, 0x02, // Input (Data, Var, Abs): 1-bit variables are buttons
        0x09, 0x02, // Usage (2)
        0x75, 0x08, // Report Size (8)
        0x81, 0x00, // Input (Data, Array)
        0x09, 0x03, // Usage (3)
        0x81, 0x03, // Input (Const, Var)
        0x09, 0x04, // Usage (4)
        0x81, 0x02, // Input (Data, Var, Abs): the only value
    });
    EXPECT_EQ(caps.input, (Caps{{4, 0, 8, 4}}));
    EXPECT_EQ(caps.input_length, 14); // every item counts: 4 bits + 3 * 4 bytes, plus the ID
}

TEST(ReportDescriptorValueCaps, UsageRangeGivesOneCapAtItsMinimum) {
    const ReportCaps caps = parse({
        0x19, 0x20, // Usage Minimum (0x20)
        0x29, 0x27, // Usage Maximum (0x27)
        0x75, 0x10, // Report Size (16)
        0x95, 0x08, // Report Count (8)
        0xB1, 0x02, // Feature (Data, Var, Abs)
    });
    EXPECT_EQ(caps.feature, (Caps{{0x20, 0, 16, 8}}));
}

TEST(ReportDescriptorValueCaps, AsManyUsagesAsFieldsGiveOneCapEach) {
    const ReportCaps caps = parse({
        0x09, 0x30, // Usage (X)
        0x09, 0x31, // Usage (Y)
        0x09, 0x32, // Usage (Z)
        0x09, 0x33, // Usage (Rx): one more than there are fields
        0x75, 0x0C, // Report Size (12)
        0x95, 0x03, // Report Count (3)
        0x81, 0x02, // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{0x30, 0, 12, 1}, {0x31, 0, 12, 1}, {0x32, 0, 12, 1}}));
}

TEST(ReportDescriptorValueCaps, LastUsageCoversRemainingFields) {
    const ReportCaps caps = parse({
        0x09, 0x30, // Usage (X)
        0x09, 0x31, // Usage (Y)
        0x75, 0x08, // Report Size (8)
        0x95, 0x05, // Report Count (5)
        0x91, 0x02, // Output (Data, Var, Abs)
    });
    EXPECT_EQ(caps.output, (Caps{{0x30, 0, 8, 1}, {0x31, 0, 8, 4}}));
}

TEST(ReportDescriptorValueCaps, NoUsageGivesUsageZeroWithFullCount) {
    const ReportCaps caps = parse({
        0x75, 0x08, // Report Size (8)
        0x95, 0x06, // Report Count (6)
        0x81, 0x02, // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{0, 0, 8, 6}}));
}

TEST(ReportDescriptorValueCaps, FourByteUsageKeepsLowHalf) {
    const ReportCaps caps = parse({
        0x0B, 0x31, 0x00, 0x01, 0x00, // Usage (Generic Desktop: Y)
        0x1B, 0x40, 0x00, 0x0C, 0x00, // Usage Minimum (Consumer: 0x40)
        0x75, 0x08,                   // Report Size (8)
        0x95, 0x01,                   // Report Count (1)
        0x81, 0x02,                   // Input (Data, Var, Abs): the range wins
        0x0B, 0x31, 0x00, 0x01, 0x00, // Usage (Generic Desktop: Y)
        0x81, 0x02,                   // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{0x40, 0, 8, 1}, {0x31, 0, 8, 1}}));
}

TEST(ReportDescriptorValueCaps, LocalStateEndsAtEveryMainItem) {
    const ReportCaps caps = parse({
        0x75, 0x08, // Report Size (8)
        0x95, 0x01, // Report Count (1)
        0x09, 0x30, // Usage (X)
        0x81, 0x03, // Input (Const): consumes Usage X
        0x81, 0x02, // Input (Data, Var, Abs): no usage left
        0x19, 0x01, // Usage Minimum (1)
        0x29, 0x05, // Usage Maximum (5)
        0xA1, 0x00, // Collection (Physical): consumes the range
        0x91, 0x02, // Output (Data, Var, Abs): no usage left
        0x09, 0x31, // Usage (Y)
        0xC0,       // End Collection: consumes Usage Y
        0xB1, 0x02, // Feature (Data, Var, Abs): no usage left
    });
    EXPECT_EQ(caps.input, (Caps{{0, 0, 8, 1}}));
    EXPECT_EQ(caps.output, (Caps{{0, 0, 8, 1}}));
    EXPECT_EQ(caps.feature, (Caps{{0, 0, 8, 1}}));
}

TEST(ReportDescriptorValueCaps, ZeroFieldsGiveNoCapButStillAReport) {
    const ReportCaps caps = parse({
        0x09, 0x30, // Usage (X)
        0x75, 0x08, // Report Size (8)
        0x95, 0x00, // Report Count (0)
        0x81, 0x02, // Input (Data, Var, Abs): no field at all
        0x81, 0x02, // Input (Data, Var, Abs): nor here, without a usage
    });
    EXPECT_TRUE(caps.input.empty());
    EXPECT_EQ(caps.input_length, 1); // an empty report is still a report: just its ID byte
}

TEST(ReportDescriptorValueCaps, WideSingleField) {
    const ReportCaps caps = parse({
        0x09, 0x05,       // Usage (5)
        0x76, 0x00, 0x02, // Report Size (512)
        0x95, 0x01,       // Report Count (1)
        0x81, 0x02,       // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{5, 0, 512, 1}}));
    EXPECT_EQ(caps.input_length, 65);
}

TEST(ReportDescriptorValueCaps, HugeCountNeedsNoMemory) {
    const ReportCaps caps = parse({
        0x09, 0x01,                   // Usage (1)
        0x09, 0x02,                   // Usage (2)
        0x75, 0x08,                   // Report Size (8)
        0x97, 0xFF, 0xFF, 0xFF, 0xFF, // Report Count (0xFFFFFFFF)
        0x81, 0x02,                   // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{1, 0, 8, 1}, {2, 0, 8, 0xFFFFFFFE}}));
}

TEST(ReportDescriptorValueCaps, CapsPerTypeAreBounded) {
    Bytes d;
    for (int u = 1; u <= 1500; ++u) {
        d.insert(d.end(), {0x0A, static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)}); // Usage (u)
    }
    d.insert(d.end(), {
                          0x75, 0x08,       // Report Size (8)
                          0x96, 0xD0, 0x07, // Report Count (2000)
                          0x81, 0x02,       // Input (Data, Var, Abs)
                          0x09, 0x01,       // Usage (1)
                          0x95, 0x01,       // Report Count (1)
                          0x91, 0x02,       // Output (Data, Var, Abs): another type has its own room
                      });
    const ReportCaps caps = parse(d);
    ASSERT_EQ(caps.input.size(), 1024u);
    EXPECT_EQ(caps.input.front(), (ValueCap{1, 0, 8, 1}));
    EXPECT_EQ(caps.input.back(), (ValueCap{1024, 0, 8, 1}));
    EXPECT_EQ(caps.output, (Caps{{1, 0, 8, 1}}));
    EXPECT_EQ(caps.input_length, 2001);
}

// --- Item handling and malformed input ----------------------------------------------------------

TEST(ReportDescriptorItems, PushPopRestoresGlobals) {
    const ReportCaps caps = parse({
        0x85, 0x01, // Report ID (1)
        0x75, 0x08, // Report Size (8)
        0x95, 0x02, // Report Count (2)
        0xA4,       // Push
        0x85, 0x02, // Report ID (2)
        0x75, 0x10, // Report Size (16)
        0x95, 0x03, // Report Count (3)
        0x81, 0x02, // Input (Data, Var, Abs): 6 bytes in report 2
        0xB4,       // Pop
        0x81, 0x02, // Input (Data, Var, Abs): 2 bytes in report 1
        0xB4,       // Pop on an empty stack: ignored
        0x81, 0x02, // Input (Data, Var, Abs): 2 more bytes in report 1
    });
    EXPECT_EQ(caps.input, (Caps{{0, 2, 16, 3}, {0, 1, 8, 2}, {0, 1, 8, 2}}));
    EXPECT_EQ(caps.input_length, 7);
}

TEST(ReportDescriptorItems, LongAndReservedItemsAreSkipped) {
    const ReportCaps caps = parse({
        0xFE, 0x06, 0xF0,                   // Long item, 6 data bytes, tag 0xF0
        0x75, 0x20, 0x95, 0x01, 0x91, 0x02, //   data that looks like an Output item but is not
        0x0C,                               // Reserved item type, no data
        0x75, 0x10,                         // Report Size (16)
        0x95, 0x01,                         // Report Count (1)
        0x81, 0x02,                         // Input (Data, Var, Abs)
    });
    EXPECT_EQ(caps.input, (Caps{{0, 0, 16, 1}}));
    EXPECT_EQ(caps.input_length, 3);
    EXPECT_EQ(caps.output_length, 0);
    EXPECT_TRUE(caps.output.empty());
}

TEST(ReportDescriptorItems, TruncatedItemsKeepWhatWasRead) {
    const Bytes whole = {
        0x75, 0x08, // Report Size (8)
        0x95, 0x02, // Report Count (2)
        0x81, 0x02, // Input (Data, Var, Abs)
    };
    Bytes short_item = whole;
    short_item.insert(short_item.end(), {0x97, 0x01, 0x00}); // Report Count with 2 of its 4 bytes
    Bytes long_item = whole;
    long_item.insert(long_item.end(), {0xFE, 0x10, 0x00, 0x91}); // Long item claiming 16 bytes
    for (const Bytes& d : {short_item, long_item}) {
        const ReportCaps caps = parse(d);
        EXPECT_EQ(caps.input, (Caps{{0, 0, 8, 2}}));
        EXPECT_EQ(caps.input_length, 3);
        EXPECT_EQ(caps.output_length, 0);
    }
}

TEST(ReportDescriptorItems, EveryPrefixOfARealDescriptorParses) {
    // Cutting a descriptor anywhere must only lose what comes after the cut.
    const ReportCaps full = parse(multi_id);
    for (std::size_t n = 0; n <= multi_id.size(); ++n) {
        const std::vector<uint8_t> cut(multi_id.begin(), multi_id.begin() + static_cast<std::ptrdiff_t>(n));
        const ReportCaps caps = parse(cut);
        EXPECT_LE(caps.input_length, full.input_length) << n;
        EXPECT_LE(caps.input.size(), full.input.size()) << n;
        EXPECT_TRUE(std::equal(caps.input.begin(), caps.input.end(), full.input.begin())) << n;
    }
}

} // namespace
