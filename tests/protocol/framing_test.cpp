// Messages as they leave the utility: framing, cutting into reports, and what a send returns.
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "tests/support/hid_double.h"
#include "tests/support/worker.h"
#include "ui/settings.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using Framing = LinkTest;

namespace {

uint16_t be16(const Report& r, std::size_t at) {
    return static_cast<uint16_t>(r[at] << 8 | r[at + 1]);
}

std::vector<uint8_t> reassemble(const std::vector<Report>& reports) {
    std::vector<uint8_t> message;
    for (const Report& r : reports) {
        const uint16_t offset = be16(r, 1);
        message.resize(std::max<std::size_t>(message.size(), offset + chunk_size));
        std::copy_n(r.begin() + 5, chunk_size, message.begin() + offset);
    }
    message.resize(be16(reports.front(), 3));
    return message;
}

} // namespace

TEST_F(Framing, TheSettingsPollIsOneExactReport) {
    HidDouble unit(link);
    ASSERT_TRUE(link.usb_send(Request{cmd_get_par, {}}));
    const auto reports = unit.reports();
    ASSERT_EQ(reports.size(), 1u);
    Report expected{};
    const uint8_t head[] = {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC0, 0x71};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_EQ(reports[0], expected);
}

TEST_F(Framing, AFlashBlockGoesOutAsNineReportsWithRisingOffsets) {
    HidDouble unit(link);
    std::vector<uint8_t> payload(516);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(link.usb_send(Request{cmd_write_flash, payload, false}));
    const auto reports = unit.reports();
    ASSERT_EQ(reports.size(), 9u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i][0], 1);
        EXPECT_EQ(be16(reports[i], 1), i * 58);
        EXPECT_EQ(be16(reports[i], 3), 521);
        EXPECT_EQ(reports[i][63], 0);
        EXPECT_EQ(reports[i][64], 0);
    }
    // The last report carries 57 message bytes and one zero.
    EXPECT_EQ(reports.back()[5 + 57], 0);
    const auto message = reassemble(reports);
    EXPECT_EQ(message, build_message(cmd_write_flash, payload));
    EXPECT_EQ(crc16(message.data(), 519), message[519] << 8 | message[520]);
}

TEST_F(Framing, FiftyEightBytesFitOneReportAndFiftyNineNeedTwo) {
    HidDouble unit(link);
    link.usb_send(Request{0x42, std::vector<uint8_t>(53, 0xAA), false}); // 58-byte message
    EXPECT_EQ(unit.reports().size(), 1u);

    link.usb_send(Request{0x42, std::vector<uint8_t>(54, 0xAA), false}); // 59-byte message
    const auto reports = unit.reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(be16(reports[1], 1), 0);
    EXPECT_EQ(be16(reports[2], 1), 58);
    EXPECT_EQ(be16(reports[2], 3), 59);
    EXPECT_TRUE(std::all_of(reports[2].begin() + 6, reports[2].end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(Framing, TheLastReportAloneDecidesTheResultAndARefusalDoesNotStopTheRest) {
    HidDouble unit(link);
    unit.answer({false, true, true, true, true, true, true, true, true});
    EXPECT_TRUE(link.usb_send(Request{cmd_write_flash, std::vector<uint8_t>(516), false}));
    EXPECT_EQ(unit.reports().size(), 9u);

    unit.answer({true, true, true, true, true, true, true, true, false});
    EXPECT_FALSE(link.usb_send(Request{cmd_write_flash, std::vector<uint8_t>(516), false}));
}

TEST_F(Framing, NothingIsSentWithoutAnOpenUnit) {
    HidDouble unit(link);
    link.dev_open = false;
    EXPECT_FALSE(link.usb_send(Request{cmd_get_par, {}}));
    EXPECT_TRUE(unit.reports().empty());
}

TEST_F(Framing, AWriteOfParFramesTheBlockAsItStoodWhenPosted) {
    HidDouble unit(link);
    link.gate.unit_opened(false);
    link.gate.reply_arrived();
    ASSERT_TRUE(link.gate.refreshed());
    link.par.set(default_par);
    link.par.edit([](Tpar& p) { p.but = 3; });
    link.save();
    link.par.change([](Tpar& p) { p.but = 2; }); // changed after posting, before the worker sends
    link.thr.Start();
    ASSERT_TRUE(wait_for_worker(link));
    ASSERT_TRUE(link.mailbox.send_and_wait(Request{cmd_get_par, {}})); // sent behind the write
    ASSERT_EQ(unit.reports().size(), 2u);
    const auto message = reassemble({unit.reports()[0]});
    ASSERT_EQ(message.size(), 22u);
    EXPECT_EQ(message[0], cmd_set_par);
    EXPECT_EQ(message[2], 17);
    EXPECT_EQ(message[3], 3);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 4, message.begin() + 20),
              std::vector<uint8_t>({0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 0, 0xEE, 0x0A, 1, 2, 0}));
}

TEST_F(Framing, AnOverlongMessageIsRefusedAndItsErrorShownOnTheUserInterfaceThread) {
    HidDouble unit(link);
    QString shown;
    QThread* shown_on = nullptr;
    QObject::connect(&link, &Link::error, [&](const QString& text) {
        shown = text;
        shown_on = QThread::currentThread();
    });
    bool result = true;
    std::thread worker([&] {
        result = link.usb_send(Request{cmd_write_flash, std::vector<uint8_t>(65531), false});
    });
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(unit.reports().empty());
    QCoreApplication::processEvents();
    EXPECT_TRUE(shown.contains("65535")) << shown.toStdString();
    EXPECT_EQ(shown_on, QCoreApplication::instance()->thread());
    QObject::disconnect(&link, &Link::error, nullptr, nullptr);

    EXPECT_NO_THROW(build_message(0x42, std::vector<uint8_t>(65530)));
}
