// Messages as they reach the utility: reassembly from input reports and the length and CRC checks.
#include "protocol/commands.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"

#include <gtest/gtest.h>

namespace {

THIDreport report(uint16_t offset, uint16_t total, std::span<const uint8_t> chunk) {
    THIDreport r{};
    r.ReportID = 1;
    r.Data[0] = static_cast<uint8_t>(offset >> 8);
    r.Data[1] = static_cast<uint8_t>(offset);
    r.Data[2] = static_cast<uint8_t>(total >> 8);
    r.Data[3] = static_cast<uint8_t>(total);
    std::copy_n(chunk.begin(), std::min<std::size_t>(chunk.size(), chunk_size), r.Data + 4);
    return r;
}

std::vector<uint8_t> settings_reply() {
    return build_message(cmd_get_par, std::vector<uint8_t>(17, 2));
}

} // namespace

TEST(Reassembly, AReportWithOffsetAndTotalZeroCompletesAMessageByItself) {
    Reassembler r;
    const auto message = settings_reply();
    const auto got = r.feed(report(0, 0, message));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), 58u); // the whole buffer: every report stores all 58 bytes
    EXPECT_TRUE(std::equal(message.begin(), message.end(), got->begin()));
    EXPECT_EQ(r.buffered(), 0u);
}

TEST(Reassembly, AReportWhoseOffsetIsBelowItsTotalWaitsForMore) {
    Reassembler r;
    EXPECT_FALSE(r.feed(report(0, 22, settings_reply())).has_value());
    EXPECT_EQ(r.buffered(), 58u);
}

TEST(Reassembly, ALongReplyIsJoinedFromItsReportsInOrder) {
    Reassembler r;
    std::vector<uint8_t> payload(100);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    const auto message = build_message(0x33, payload); // 105 bytes: two reports
    const std::span<const uint8_t> m(message);
    // The unit's rule: every report but the last keeps its offset below the total field.
    EXPECT_FALSE(r.feed(report(0, 105, m.first(58))).has_value());
    const auto got = r.feed(report(58, 58, m.subspan(58)));
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(std::equal(message.begin(), message.end(), got->begin()));
}

TEST(Reassembly, ACrcSentLowByteFirstIsDroppedUnlessBothBytesAreEqual) {
    Reassembler r;
    auto message = settings_reply();
    std::swap(message[20], message[21]);
    ASSERT_NE(message[20], message[21]);
    EXPECT_FALSE(r.feed(report(0, 0, message)).has_value());
    EXPECT_EQ(r.buffered(), 0u);

    // Find a payload whose CRC has two equal bytes: swapping them changes nothing.
    for (unsigned v = 0; v < 65536; ++v) {
        const std::vector<uint8_t> payload{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        auto m = build_message(0x33, payload);
        if (m[5] != m[6])
            continue;
        std::swap(m[5], m[6]);
        EXPECT_TRUE(r.feed(report(0, 0, m)).has_value());
        return;
    }
    FAIL() << "no two-byte payload with a CRC of two equal bytes";
}

TEST(Reassembly, ADeclaredLengthBeyondTheReceivedBytesIsDroppedAndLeavesAnEmptyBuffer) {
    Reassembler r;
    std::vector<uint8_t> message(58, 0);
    message[1] = 0;
    message[2] = 54; // L + 5 = 59 > 58 received
    EXPECT_FALSE(r.feed(report(0, 0, message)).has_value());
    EXPECT_EQ(r.buffered(), 0u);
}

TEST(Reassembly, TheMessageAfterADroppedOneStartsFromAnEmptyBuffer) {
    Reassembler r;
    // A long message is dropped for its CRC after two reports...
    std::vector<uint8_t> junk(116, 0xEE);
    junk[0] = 0x33;
    junk[1] = 0;
    junk[2] = 100;
    EXPECT_FALSE(r.feed(report(0, 116, std::span(junk).first(58))).has_value());
    EXPECT_FALSE(r.feed(report(58, 58, std::span(junk).subspan(58))).has_value());
    // ...and the next short one is not padded out to the old size.
    const auto got = r.feed(report(0, 0, settings_reply()));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), 58u);
}

TEST(Reassembly, AReplyWithLength17FitsInOneReport) {
    Reassembler r;
    const auto got = r.feed(report(0, 0, settings_reply()));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ((*got)[2], 17);
}
