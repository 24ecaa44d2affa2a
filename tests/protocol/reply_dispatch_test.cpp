// What the utility does with the unit's replies, and on which thread it shows them.
#include "core/Tthr.h"
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "protocol/reply_dispatch.h"
#include "tests/support/wait.h"
#include "ui/settings.h"
#include "ui/settings_gate.h"

#include <QThread>

#include <gtest/gtest.h>

#include <thread>

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
void deliver(const std::vector<THIDreport>& reports) {
    std::thread input([&] {
        for (const auto& r : reports)
            hid_event(r, 0);
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

std::vector<uint8_t> par_bytes() {
    return bytes_of(par.get());
}

} // namespace

TEST(SettingsReply, IsSanitisedIntoParAndShownByARefreshOnTheUserInterfaceThread) {
    QThread* refreshed_on = nullptr;
    int refreshes = 0;
    ui_hooks.refresh = [&] {
        refreshed_on = QThread::currentThread();
        ++refreshes;
    };
    thr.Start();
    deliver({one_report(msg(cmd_get_par, wild_block))});
    EXPECT_EQ(par_bytes(), tamed_block);
    ASSERT_TRUE(wait_for([&] { return refreshes > 0; }));
    EXPECT_EQ(refreshed_on, QCoreApplication::instance()->thread());

    deliver({one_report(msg(cmd_set_par, bytes_of(default_par)))});
    ASSERT_TRUE(wait_for([&] { return refreshes > 1; }));
    EXPECT_EQ(to_bytes(par.get()), to_bytes(default_par));
    ui_hooks.refresh = nullptr;
}

TEST(SettingsReply, OnceTheUnitsBlockIsShownOnlyAChangeOrAWritesAnswerWakesTheWindow) {
    std::vector<std::string> shown;
    ui_hooks.refresh = [&] {
        (void)settings_gate::refreshed();
        shown.push_back(std::to_string(par.take_for_showing().headroom));
    };
    thr.Start();
    settings_gate::unit_opened(false);
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
        deliver({one_report(msg(r.command, bytes_of(r.block)))});
        // A reply that is shown is waited for; one that is not shows up (wrongly) ahead of the next.
        if (r.shown_after != before) {
            ASSERT_TRUE(wait_for([&] { return shown.size() >= r.shown_after; }));
        }
        before = r.shown_after;
    }
    const std::string held = std::to_string(default_par.headroom);
    EXPECT_EQ(shown, (std::vector<std::string>{held, held, "7", "7"}));
    ui_hooks.refresh = nullptr;
}

TEST(SettingsReply, FillsAllSeventeenBytesWhateverItsLengthField) {
    // A reply declaring 2 payload bytes: bytes 3..19 are its payload, its CRC and report padding.
    const auto message = as_58(msg(cmd_set_par, std::vector<uint8_t>{1, 2}));
    reply_dispatch(message);
    std::vector<uint8_t> expected(message.begin() + 3, message.begin() + 20);
    Tpar p = from_bytes(std::span<const uint8_t, 17>(expected.data(), 17));
    sanitise(p);
    EXPECT_EQ(to_bytes(par.get()), to_bytes(p));
}

TEST(SettingsReply, ABadReplyLeavesParAsItWas) {
    par.set(default_par);
    auto message = msg(cmd_get_par, wild_block);
    message[21] ^= 1; // CRC
    deliver({one_report(message)});
    EXPECT_EQ(to_bytes(par.get()), to_bytes(default_par));
}

TEST(UpdateReply, NonZeroStatusIsSuccessAndIsShownOnTheUserInterfaceThread) {
    std::vector<bool> results;
    QThread* shown_on = nullptr;
    ui_hooks.update_result = [&](bool ok) {
        results.push_back(ok);
        shown_on = QThread::currentThread();
    };
    deliver({one_report(msg(cmd_finish, {1})), one_report(msg(cmd_finish, {0})),
             one_report(msg(cmd_finish, {0x80}))});
    ASSERT_TRUE(wait_for([&] { return results.size() == 3; }));
    EXPECT_EQ(results, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(shown_on, QCoreApplication::instance()->thread());
    ui_hooks.update_result = nullptr;
}

TEST(DefaultsReply, IsAcknowledgedAndChangesNothingElse) {
    par.set(default_par);
    int acknowledged = 0;
    ui_hooks.defaults_reset = [&] { ++acknowledged; };
    deliver({one_report(msg(cmd_defaults, {}))});
    ASSERT_TRUE(wait_for([&] { return acknowledged == 1; }));
    EXPECT_EQ(to_bytes(par.get()), to_bytes(default_par));
    ui_hooks.defaults_reset = nullptr;
}

TEST(OtherReplies, AreIgnored) {
    par.set(default_par);
    bool anything = false;
    ui_hooks.refresh = [&] { anything = true; };
    ui_hooks.update_result = [&](bool) { anything = true; };
    ui_hooks.defaults_reset = [&] { anything = true; };
    thr.Start();
    deliver({one_report(msg(cmd_write_flash, wild_block)), one_report(msg(cmd_upd_poll, {})),
             one_report(msg(0x01, wild_block))});
    // A settings reply behind them proves they were all handled by the time it shows.
    int refreshes = 0;
    ui_hooks.refresh = [&] { ++refreshes; };
    deliver({one_report(msg(cmd_get_par, bytes_of(default_par)))});
    ASSERT_TRUE(wait_for([&] { return refreshes == 1; }));
    EXPECT_FALSE(anything);
    ui_hooks = UiHooks{};
}
