// The main window as the core sets it up: placement, activation, polling, closing.
#include "core/Tthr.h"
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QScreen>

#include <gtest/gtest.h>

TEST(MainWindow, IsCaptionedCentredAndHasNoMinimiseOrMaximiseBox) {
    Tfu update;
    Tfmain w;
    EXPECT_EQ(w.windowTitle(), "RV-390PKTA");
    const QRect screen = w.screen()->geometry();
    EXPECT_EQ(w.x(), screen.width() / 2 - w.width() / 2);
    EXPECT_EQ(w.y(), screen.height() / 2 - w.height() / 2);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST(MainWindow, WhenTheLinkCannotStartSaysSoAndEndsTheApplication) {
    for (const auto button : {QMessageBox::Ok, QMessageBox::Cancel}) {
        Tfu update;
        Tfmain w;
        BoxAnswerer answer(button);
        w.show();
        w.activateWindow();
        ASSERT_TRUE(wait_for([&] { return !answer.seen.empty() && !w.isVisible(); }));
        ASSERT_EQ(answer.seen.size(), 1u);
        EXPECT_EQ(answer.seen[0].text, "Не удалось инициализировать USB!");
        EXPECT_EQ(answer.seen[0].title, "Обновление программного обеспечения");
        EXPECT_EQ(answer.seen[0].icon, QMessageBox::Critical);
        EXPECT_EQ(answer.seen[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
        EXPECT_EQ(answer.seen[0].parent, &update);
    }
    thr.WaitFor(); // closing asked the worker to stop: this returns
}

TEST(MainWindow, PollsTheUnitEveryTickUnlessItRunsItsBootLoader) {
    Tfu update;
    Tfmain w;
    boot_mode = true;
    int ticks = 0;
    QObject::connect(&w.tmr, &QTimer::timeout, [&] { ++ticks; });
    ASSERT_TRUE(wait_for([&] { return ticks >= 2; }));
    EXPECT_FALSE(mailbox.pending()); // no worker runs here: a posted poll would still wait

    boot_mode = false;
    ASSERT_TRUE(wait_for([&] { return ticks >= 3; }));
    EXPECT_TRUE(mailbox.pending());
    EXPECT_EQ(w.tmr.interval(), 200);
}
