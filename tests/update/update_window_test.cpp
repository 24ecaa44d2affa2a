// The update window's core: its timer and flags, closing, and the unit's answers shown over it.
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "tests/support/worker.h"
#include "update/uu.h"

#include <QAccessible>
#include <QFrame>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

using DefaultsReset = LinkTest;
using UpdateResult = LinkTest;
using UpdateWindow = LinkTest;

namespace {
// Serves the program's mailbox and records the commands it is given.
class Recorder {
public:
    explicit Recorder(Link& link) : link_(link) {
        constexpr uint8_t marker = 0x7F;
        std::promise<void> serving;
        link.mailbox.post(Request{marker, {}});
        worker_ = std::thread([this, &serving] {
            link_.mailbox.serve([this, &serving](const Request& r) {
                if (r.cmd == marker) {
                    serving.set_value();
                    return true;
                }
                std::lock_guard lock(m_);
                sent_.push_back(r.cmd);
                return true;
            });
        });
        serving.get_future().wait(); // a synchronous send needs a serving worker
    }
    ~Recorder() {
        link_.mailbox.stop();
        worker_.join();
    }
    std::vector<uint8_t> commands() const {
        std::lock_guard lock(m_);
        return sent_;
    }

private:
    Link& link_;
    mutable std::mutex m_;
    std::vector<uint8_t> sent_;
    std::thread worker_;
};

void deliver_reply(Link& link, uint8_t type, std::vector<uint8_t> payload) {
    const auto message = build_message(type, payload);
    THIDreport r{};
    r.ReportID = 1;
    std::copy(message.begin(), message.end(), r.Data + 4);
    std::thread input([&] { link.hid_event(r); });
    input.join();
}
} // namespace

TEST_F(UpdateWindow, StartsHiddenWithItsCaptionAndATwoSecondFirstTick) {
    Tfu w(link);
    EXPECT_EQ(w.windowTitle(), "Update FW");
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.tmrb.interval(), 2000);
    EXPECT_TRUE(w.tmrb.isActive());
    EXPECT_EQ(w.cancel->text(), "Закрыть");
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(UpdateWindow, TicksEveryTwoHundredMillisecondsAndPollsOnlyWhenShownIdleAndNotInTheBootLoader) {
    Tfu w(link);
    w.tmrbTimer(); // hidden
    EXPECT_EQ(w.tmrb.interval(), 200);
    EXPECT_FALSE(link.mailbox.pending());

    w.show();
    link.boot_mode = true;
    w.tmrbTimer();
    EXPECT_FALSE(link.mailbox.pending());
    link.boot_mode = false;
    w.upd_busy = true;
    w.tmrbTimer();
    EXPECT_FALSE(link.mailbox.pending());
    w.upd_busy = false;
    w.tmrbTimer();
    EXPECT_TRUE(link.mailbox.pending()); // cmd_upd_poll waits for a worker
}

TEST_F(UpdateWindow, ShowingClearsBothFlags) {
    Tfu w(link);
    w.upd_busy = w.upd_done = true;
    w.show();
    EXPECT_FALSE(w.upd_busy);
    EXPECT_FALSE(w.upd_done);
}

TEST_F(UpdateWindow, CloseClearsBusyAsksTheUnitToLeaveAndHidesTheWindow) {
    Recorder sent(link);
    Tfu w(link);
    w.show();
    w.upd_busy = true;
    w.cancel->click();
    EXPECT_FALSE(w.upd_busy);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(sent.commands(), std::vector<uint8_t>{cmd_upd_close}); // already sent when the window went
}

TEST_F(UpdateWindow, EscapeActsAsClose) {
    Recorder sent(link);
    Tfu w(link);
    w.show();
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(sent.commands(), std::vector<uint8_t>{cmd_upd_close});
}

TEST_F(UpdateResult, IsShownOverTheWindowAndOnlyThenClosesItAHundredMillisecondsLater) {
    for (const uint8_t status : {uint8_t{1}, uint8_t{0}}) {
        Tfu w(link);
        w.show();
        w.upd_busy = true;
        bool flags_set_while_box_open = true;
        BoxAnswerer answer(QMessageBox::Ok,
                           [&](QMessageBox*) { flags_set_while_box_open = w.upd_done || !w.upd_busy; });
        deliver_reply(link, cmd_finish, {status});
        ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
        EXPECT_FALSE(flags_set_while_box_open);
        EXPECT_EQ(answer.seen[0].title, "Обновление программного обеспечения");
        EXPECT_EQ(answer.seen[0].icon, QMessageBox::Information);
        EXPECT_EQ(answer.seen[0].buttons, QMessageBox::Ok);
        EXPECT_EQ(answer.seen[0].parent, &w);
        EXPECT_EQ(answer.seen[0].text, status ? "Обновление завершено успешно!"
                                              : "Ошибка в процессе обновления!\r\nПовторите попытку");
        EXPECT_TRUE(w.upd_done);
        EXPECT_FALSE(w.upd_busy);
        EXPECT_EQ(w.tmrb.interval(), 100);
        ASSERT_TRUE(wait_for([&] { return !w.isVisible(); }));
    }
}

TEST_F(DefaultsReset, IsAcknowledgedOverTheUpdateWindow) {
    Tfu w(link);
    BoxAnswerer answer(QMessageBox::Ok);
    deliver_reply(link, cmd_defaults, {});
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
    EXPECT_EQ(answer.seen[0].text, "Настройки сброшены!");
    EXPECT_EQ(answer.seen[0].parent, &w);
    EXPECT_FALSE(w.upd_done);
}

TEST_F(UpdateWindow, TellsScreenReadersTheIndicatorsColourAndTheUnitsStateAndNamesTheProgressBar) {
    Tfu w(link);
    const auto said = [](QWidget* widget, QAccessible::Text what) {
        return QAccessible::queryAccessibleInterface(widget)->text(what);
    };
    EXPECT_EQ(said(w.pb, QAccessible::Name), QStringLiteral("Ход обновления"));
    EXPECT_EQ(said(w.OpenIndicator, QAccessible::Name), QStringLiteral("Индикатор блока"));
    EXPECT_TRUE(said(w.OpenIndicator, QAccessible::Description).startsWith(QStringLiteral("белый")));
    const UnitIdentity boot{"RV-390PKTA(boot)", "VU-0001", "1.3", "bus"};
    const auto in_boot = [&] {
        emit link.unit_identity(boot), emit link.unit_opened(OpenedMode::boot_loader);
    };
    // What discovery tells the window, in turn, and what the indicator then says of itself.
    const std::vector<std::pair<std::function<void()>, QString>> steps = {
        {in_boot, "белый (блок ещё не открывался в обычном режиме); сейчас блок в режиме загрузчика"},
        {[&] { emit link.unit_opened(OpenedMode::normal); }, "зелёный: блок открыт в обычном режиме"},
        {in_boot, "зелёный (блок открывался в обычном режиме); сейчас блок в режиме загрузчика"},
        {[&] { emit link.unit_identity({}); },
         "зелёный (блок открывался в обычном режиме); сейчас блок не подключён"},
    };
    for (const auto& [step, description] : steps) {
        step();
        EXPECT_EQ(said(w.OpenIndicator, QAccessible::Description), description);
    }
}
