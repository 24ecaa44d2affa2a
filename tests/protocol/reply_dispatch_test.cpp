// What the utility does with the unit's replies, and on which thread it shows them.
#include "protocol/commands.h"
#include "tests/support/worker.h"

#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using DefaultsReply = LinkTest;
using OtherReplies = LinkTest;
using SettingsReply = LinkTest;
using UpdateReply = LinkTest;

namespace {

std::vector<uint8_t> msg(uint8_t type, const std::vector<uint8_t>& payload) {
    return build_message(type, payload);
}

// A reply as one report, offset 0 and total 0.
THIDreport one_report(const std::vector<uint8_t>& message) {
    THIDreport r{};
    r.ReportID = 1;
    std::copy_n(message.begin(), std::min<std::size_t>(message.size(), 58), r.Data + 4);
    return r;
}

// Delivers reports on a thread of their own, as the library's input thread does.
void deliver(Link& link, const std::vector<THIDreport>& reports) {
    std::thread input([&] {
        for (const auto& r : reports)
            link.hid_event(r);
    });
    input.join();
}

std::vector<uint8_t> as_58(std::vector<uint8_t> message) {
    message.resize(58);
    return message;
}

const std::vector<uint8_t> wild_block{0x06, 0x07, 0x04, 0x19, 0x14, 0xFF, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x05, 0x05, 0x32, 0x07, 0x05, 0x09};
const std::vector<uint8_t> tamed_block{0x02, 0x03, 0x00, 0x05, 0x00, 0x0F, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x05, 0x00, 0x32, 0x01, 0x02, 0x09};

std::vector<uint8_t> bytes_of(const Tpar& p) {
    const auto b = to_bytes(p);
    return {b.begin(), b.end()};
}

std::vector<uint8_t> par_bytes(const Link& link) {
    return bytes_of(link.par.get());
}

} // namespace

TEST_F(SettingsReply, IsSanitisedIntoParAndShownByARefreshOnTheUserInterfaceThread) {
    QThread* refreshed_on = nullptr;
    int refreshes = 0;
    QObject::connect(&link, &Link::refresh, [&] {
        refreshed_on = QThread::currentThread();
        ++refreshes;
    });
    link.thr.Start();
    deliver(link, {one_report(msg(cmd_get_par, wild_block))});
    EXPECT_EQ(par_bytes(link), tamed_block);
    ASSERT_TRUE(wait_for([&] { return refreshes > 0; }));
    EXPECT_EQ(refreshed_on, QCoreApplication::instance()->thread());

    deliver(link, {one_report(msg(cmd_set_par, bytes_of(default_par)))});
    ASSERT_TRUE(wait_for([&] { return refreshes > 1; }));
    EXPECT_EQ(to_bytes(link.par.get()), to_bytes(default_par));
    QObject::disconnect(&link, &Link::refresh, nullptr, nullptr);
}

TEST_F(SettingsReply, OnceTheUnitsBlockIsShownOnlyAChangeOrAWritesAnswerWakesTheWindow) {
    std::vector<std::string> shown;
    QObject::connect(&link, &Link::refresh, [&] {
        (void)link.gate.refreshed();
        shown.push_back(std::to_string(link.par.take_for_showing().headroom));
    });
    link.thr.Start();
    link.gate.unit_opened(false);
    Tpar other = default_par;
    other.headroom = 7;
    // Each reply, and how many blocks have been shown once it has been handled: the first opens the
    // gate, an unchanged poll's answer wakes nobody, a write's answer always does, a change does.
    const struct {
        uint8_t command;
        const Tpar& block;
        std::size_t shown_after;
    } replies[] = {{cmd_get_par, default_par, 1}, {cmd_get_par, default_par, 1},
                   {cmd_set_par, default_par, 2}, {cmd_get_par, other, 3},
                   {cmd_get_par, other, 3},       {cmd_set_par, other, 4}};
    std::size_t before = 0;
    for (const auto& r : replies) {
        deliver(link, {one_report(msg(r.command, bytes_of(r.block)))});
        // A reply that is shown is waited for; one that is not shows up (wrongly) ahead of the next.
        if (r.shown_after != before) {
            ASSERT_TRUE(wait_for([&] { return shown.size() >= r.shown_after; }));
        }
        before = r.shown_after;
    }
    const std::string held = std::to_string(default_par.headroom);
    EXPECT_EQ(shown, (std::vector<std::string>{held, held, "7", "7"}));
    QObject::disconnect(&link, &Link::refresh, nullptr, nullptr);
}

TEST_F(SettingsReply, FillsAllSeventeenBytesWhateverItsLengthField) {
    // A reply declaring 2 payload bytes: bytes 3..19 are its payload, its CRC and report padding.
    const auto message = as_58(msg(cmd_set_par, std::vector<uint8_t>{1, 2}));
    link.reply_dispatch(message);
    std::vector<uint8_t> expected(message.begin() + 3, message.begin() + 20);
    Tpar p = from_bytes(std::span<const uint8_t, 17>(expected.data(), 17));
    sanitise(p);
    EXPECT_EQ(to_bytes(link.par.get()), to_bytes(p));
}

TEST_F(SettingsReply, ABadReplyLeavesParAsItWas) {
    link.par.set(default_par);
    auto message = msg(cmd_get_par, wild_block);
    message[21] ^= 1; // CRC
    deliver(link, {one_report(message)});
    EXPECT_EQ(to_bytes(link.par.get()), to_bytes(default_par));
}

TEST_F(UpdateReply, NonZeroStatusIsSuccessAndIsShownOnTheUserInterfaceThread) {
    std::vector<bool> results;
    QThread* shown_on = nullptr;
    QObject::connect(&link, &Link::update_result, [&](bool ok) {
        results.push_back(ok);
        shown_on = QThread::currentThread();
    });
    deliver(link, {one_report(msg(cmd_finish, {1})), one_report(msg(cmd_finish, {0})),
                   one_report(msg(cmd_finish, {0x80}))});
    ASSERT_TRUE(wait_for([&] { return results.size() == 3; }));
    EXPECT_EQ(results, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(shown_on, QCoreApplication::instance()->thread());
    QObject::disconnect(&link, &Link::update_result, nullptr, nullptr);
}

TEST_F(DefaultsReply, IsAcknowledgedAndChangesNothingElse) {
    link.par.set(default_par);
    int acknowledged = 0;
    QObject::connect(&link, &Link::defaults_reset, [&] { ++acknowledged; });
    deliver(link, {one_report(msg(cmd_defaults, {}))});
    ASSERT_TRUE(wait_for([&] { return acknowledged == 1; }));
    EXPECT_EQ(to_bytes(link.par.get()), to_bytes(default_par));
    QObject::disconnect(&link, &Link::defaults_reset, nullptr, nullptr);
}

TEST_F(OtherReplies, AreIgnored) {
    link.par.set(default_par);
    bool anything = false;
    QObject::connect(&link, &Link::refresh, [&] { anything = true; });
    QObject::connect(&link, &Link::update_result, [&](bool) { anything = true; });
    QObject::connect(&link, &Link::defaults_reset, [&] { anything = true; });
    link.thr.Start();
    deliver(link, {one_report(msg(cmd_write_flash, wild_block)), one_report(msg(cmd_upd_poll, {})),
                   one_report(msg(0x01, wild_block))});
    // A settings reply behind them proves they were all handled by the time it shows.
    QObject::disconnect(&link, &Link::refresh, nullptr, nullptr);
    int refreshes = 0;
    QObject::connect(&link, &Link::refresh, [&] { ++refreshes; });
    deliver(link, {one_report(msg(cmd_get_par, bytes_of(default_par)))});
    ASSERT_TRUE(wait_for([&] { return refreshes == 1; }));
    EXPECT_FALSE(anything);
}
