// The main window: placement, activation, polling, closing, and every control with its handler.
#include "core/Tthr.h"
#include "core/mailbox.h"
#include "protocol/commands.h"
#include "protocol/library_file.h"
#include "protocol/link_health.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "tests/support/window_controls.h"
#include "tests/support/worker.h"
#include "ui/link_view.h"
#include "ui/selector_button.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

using MainWindow = LinkTest;

TEST_F(MainWindow, IsCaptionedCentredAndHasNoMinimiseOrMaximiseBox) {
    Tfu update(link);
    Tfmain w(link, &update);
    EXPECT_EQ(w.windowTitle(), "RV-390PKTA");
    const QRect screen = w.screen()->geometry();
    EXPECT_EQ(w.x(), screen.width() / 2 - w.width() / 2);
    EXPECT_EQ(w.y(), screen.height() / 2 - w.height() / 2);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(MainWindow, WhenTheLinkCannotStartSaysSoAndEndsTheApplication) {
    for (const auto button : {QMessageBox::Ok, QMessageBox::Cancel}) {
        Tfu update(link);
        Tfmain w(link, &update);
        w.link_init = [] { return false; }; // the library cannot be loaded
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
}

TEST_F(MainWindow, PollsTheUnitEveryTickUnlessItRunsItsBootLoader) {
    Tfu update(link);
    Tfmain w(link, &update);
    EXPECT_EQ(w.tmr.interval(), 200);
    link.boot_mode = true;
    std::atomic<int> polls{0};
    std::thread worker([&] {
        link.mailbox.serve([&](const Request& r) {
            polls += r.cmd == cmd_get_par ? 1 : 0;
            link.ui.wake();
            return true;
        });
    });
    ASSERT_TRUE(wait_for_ticks(link, w.tmr, w.tmr.ticks() + 2));
    EXPECT_EQ(polls, 0);

    link.boot_mode = false;
    ASSERT_TRUE(wait_for([&] { return polls >= 2; }));
    link.mailbox.stop();
    worker.join();
}

TEST_F(MainWindow, TheLinkWatchWakesTheWindowOnlyWhenItsLineMayChange) {
    int woken = 0;
    QObject::connect(&link, &Link::link_changed, [&] { ++woken; });
    const auto tick = link_view_watch(link);
    tick(); // nothing has happened to the link yet
    link.health.edit_given_up();
    for (int i = 0; i < 3; ++i)
        tick();
    bool marker = false;
    link.ui.post(&link, [&] { marker = true; }); // behind whatever the ticks posted
    ASSERT_TRUE(wait_for([&] { return marker; }));
    EXPECT_EQ(woken, 1);
    QObject::disconnect(&link, &Link::link_changed, nullptr, nullptr);
}

// Readable failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

// A shown, active main window whose link start-up succeeds, with its poll stopped so that every request
// in the mailbox is one the test caused, and its controls enabled as after a unit's first settings.
struct Shown {
    Link& link;
    Tfu update{link};
    Tfmain w{link, &update};
    explicit Shown(Link& l, bool gate_open = true) : link(l) {
        w.tmr.stop();
        w.link_init = [] { return true; };
        if (gate_open) {
            // As after a unit's first settings reply: link.save() now posts.
            link.gate.unit_opened(false);
            link.gate.reply_arrived();
            link.gate.refreshed();
        }
        w.show();
        w.activateWindow();
        EXPECT_TRUE(wait_for([&] { return w.isActiveWindow(); }));
        w.Cont(true);
    }

    // Without a worker nothing leaves the mailbox: the test's own link starts with it empty.
    void expect_nothing_posted() const { EXPECT_FALSE(link.mailbox.pending()); }
};

Tpar block(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> b(bytes);
    return from_bytes(std::span<const uint8_t, 17>(b.data(), 17));
}

std::vector<uint8_t> bytes(const Tpar& p) {
    const auto b = to_bytes(p);
    return {b.begin(), b.end()};
}

QStringList items(const QComboBox* box) {
    QStringList l;
    for (int i = 0; i < box->count(); ++i)
        l << box->itemText(i);
    return l;
}

std::vector<QComboBox*> sources(Tfmain& w) {
    return {w.src0, w.src1, w.src2, w.src3, w.src4, w.src5, w.src6, w.src7};
}

std::vector<QLabel*> source_labels(Tfmain& w) {
    return {w.csrc0, w.csrc1, w.csrc2, w.csrc3, w.csrc4, w.csrc5, w.csrc6, w.csrc7};
}

QStringList sdi_labels(std::initializer_list<int> numbers) {
    QStringList l;
    for (int n : numbers)
        l << QStringLiteral("Источник для SDI#%1").arg(n);
    return l;
}

QStringList label_texts(Tfmain& w) {
    QStringList l;
    for (QLabel* c : source_labels(w))
        l << c->text();
    return l;
}

// The operator moves a list's selection with the keyboard, one item per key, as far as `index`.
void pick(QComboBox* box, int index) {
    while (box->currentIndex() < index)
        QTest::keyClick(box, Qt::Key_Down);
    while (box->currentIndex() > index)
        QTest::keyClick(box, Qt::Key_Up);
}

QLabel* label_of(Tfmain& w, const QWidget* control) {
    for (QLabel* l : controls_of(w)->findChildren<QLabel*>())
        if (l->buddy() == control)
            return l;
    return nullptr;
}

const QStringList fixed_sources = {"AES 1L", "AES 1R", "AES 2L",   "AES 2R",   "AES 3L", "AES 3R",
                                   "AES 4L", "AES 4R", "ANALOG_L", "ANALOG_R", "1000Hz", "500Hz"};

} // namespace

TEST_F(MainWindow, ShowsEveryControlWithItsItemsLimitsAndInitialValues) {
    Tfu update(link);
    Tfmain w(link, &update);
    for (auto [button, caption] : {std::pair{w.but0, "1"}, {w.but1, "2"}, {w.but2, "3"}, {w.but3, "4"}}) {
        EXPECT_EQ(button->text(), caption);
        EXPECT_EQ(button->scheme(), SelectorButton::Scheme::chrome);
        EXPECT_EQ(button->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_FALSE(button->isCheckable()); // never stays pressed
    }
    const QStringList groups = {"Group 1", "Group 2", "Group 3", "Group 4"};
    for (QComboBox* g : {w.group0, w.group1}) {
        EXPECT_EQ(items(g), groups);
        EXPECT_EQ(g->currentText(), "Group 1");
        EXPECT_FALSE(g->isEditable());
    }
    const QStringList first_sources =
        QStringList{"SDI 1", "SDI 2", "SDI 3", "SDI 4", "SDI 5", "SDI 6", "SDI 7", "SDI 8"} + fixed_sources;
    for (QComboBox* s : sources(w)) {
        EXPECT_EQ(items(s), first_sources);
        EXPECT_EQ(s->currentText(), "SDI 1");
    }
    EXPECT_EQ(label_texts(w), sdi_labels({1, 2, 3, 4, 5, 6, 7, 8}));

    struct Level {
        ByteSpinBox* box;
        int low, high, initial;
        const char* label;
    };
    for (const Level& l :
         {Level{w.headroom, 0, 32, 0, "Уровень HEADROOM"}, Level{w.db0, -32, 0, -12, "Уровень 0 dB"},
          Level{w.xlr_gain, -32, 16, -12, "Усиление аналоговых входов"}}) {
        EXPECT_EQ(l.box->low(), l.low);
        EXPECT_EQ(l.box->high(), l.high);
        EXPECT_EQ(l.box->value(), l.initial);
        EXPECT_EQ(l.box->singleStep(), 1);
        ASSERT_NE(label_of(w, l.box), nullptr);
        EXPECT_EQ(label_of(w, l.box)->text(), l.label);
    }
    EXPECT_EQ(items(w.scale), (QStringList{"dB", "dBFS"}));
    EXPECT_EQ(items(w.ind), (QStringList{"Откл.", "Small", "Full"}));
    EXPECT_EQ(items(w.agr), (QStringList{"Откл.", "Вкл."}));
    for (QComboBox* c : {w.scale, w.ind, w.agr})
        EXPECT_EQ(c->currentIndex(), 0);
    for (auto [control, text] : {std::pair<QWidget*, const char*>{w.group0, "Первичная группа"},
                                 {w.group1, "Вторичная группа"},
                                 {w.scale, "Шкала"},
                                 {w.ind, "Вид индикаторов"},
                                 {w.agr, "Audio Group Replacement"}})
        EXPECT_EQ(label_of(w, control)->text(), text);

    // Bold 13-pixel type in every control, the selector buttons' own style sheets included.
    for (QWidget* c : controls_of(w)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(c->font().bold()) << c->objectName().toStdString();
        EXPECT_EQ(QFontInfo(c->font()).pixelSize(), 13) << c->objectName().toStdString();
    }
}

TEST_F(MainWindow, ArrangesTwoColumnsOfLabelledControlsUnderTheFourSelectorButtons) {
    Shown s(link);
    Tfmain& w = s.w;
    const auto at = [&](const QWidget* c) { return c->geometry(); };
    // Two by two, the block's left edge over the left column's lists.
    EXPECT_EQ(at(w.but0).top(), at(w.but1).top());
    EXPECT_EQ(at(w.but0).left(), at(w.but2).left());
    EXPECT_LT(at(w.but0).bottom(), at(w.but2).top());
    EXPECT_LT(at(w.but0).right(), at(w.but1).left());
    EXPECT_EQ(at(w.but0).left(), at(w.group0).left());
    EXPECT_EQ(at(w.but0).size(), QSize(120, 49));
    EXPECT_LT(at(w.but2).bottom(), at(w.group0).top());
    EXPECT_LT(at(w.but2).bottom(), at(w.headroom).top());
    // Each label stands left of its control, at its height; the right column is right of the left one.
    for (QLabel* l : controls_of(w)->findChildren<QLabel*>()) {
        const QRect c = at(l->buddy());
        EXPECT_LT(at(l).right(), c.left()) << l->text().toStdString();
        EXPECT_NEAR(at(l).center().y(), c.center().y(), 1) << l->text().toStdString();
        EXPECT_TRUE(l->alignment() & Qt::AlignRight);
    }
    EXPECT_LT(at(w.src0).right(), label_of(w, w.headroom)->geometry().left());
    // The caption of the analogue gain takes two lines.
    const QLabel* gain = label_of(w, w.xlr_gain);
    EXPECT_GE(gain->height(), 2 * gain->fontMetrics().height());
    // A margin of 20 pixels on every side.
    const QRect all = controls_of(w)->childrenRect();
    EXPECT_EQ(all.left(), 20);
    EXPECT_EQ(all.top(), 20);
    EXPECT_EQ(controls_of(w)->width() - all.right() - 1, 20);
    EXPECT_EQ(controls_of(w)->height() - all.bottom() - 1, 20);
}

TEST_F(MainWindow, LabelsNameTheirControlsAndTheKeyboardReachesEveryControlInLayoutOrder) {
    Shown s(link);
    Tfmain& w = s.w;
    const auto labels = controls_of(w)->findChildren<QLabel*>();
    EXPECT_EQ(labels.size(), 16);
    for (QLabel* l : labels) {
        ASSERT_NE(l->buddy(), nullptr) << l->text().toStdString();
        EXPECT_EQ(l->buddy()->accessibleName(), l->text());
    }
    for (QPushButton* b : {static_cast<QPushButton*>(w.but0), static_cast<QPushButton*>(w.but3)})
        EXPECT_EQ(QAccessible::queryAccessibleInterface(b)->text(QAccessible::Name), b->text());

    const std::vector<QWidget*> expected = {
        w.but0, w.but1, w.but2, w.but3, w.group0,   w.group1, w.src0,     w.src1,  w.src2, w.src3,
        w.src4, w.src5, w.src6, w.src7, w.headroom, w.db0,    w.xlr_gain, w.scale, w.ind,  w.agr};
    std::vector<QWidget*> reached;
    w.but0->setFocus(Qt::TabFocusReason);
    reached.push_back(QApplication::focusWidget());
    for (std::size_t i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(reached, expected);

    // After the group changes, the source lists are named by their new labels.
    pick(w.group0, 2);
    EXPECT_EQ(w.src0->accessibleName(), "Источник для SDI#9");
}

TEST_F(MainWindow, ContEnablesEveryControlOnTheWindowAndNeverTheMenu) {
    Tfu update(link);
    Tfmain w(link, &update);
    const auto controls = controls_of(w)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    std::map<std::string, int> kinds;
    for (QWidget* c : controls)
        ++kinds[c->metaObject()->className()];
    EXPECT_EQ(kinds, (std::map<std::string, int>{
                         {"SelectorButton", 4}, {"QLabel", 16}, {"QComboBox", 13}, {"ByteSpinBox", 3}}));
    const auto all = [&](bool enabled) {
        return std::all_of(controls.begin(), controls.end(),
                           [&](QWidget* c) { return c->isEnabled() == enabled; });
    };
    EXPECT_TRUE(all(false)); // as created
    w.Cont(true);
    EXPECT_TRUE(all(true));
    w.Cont(false);
    EXPECT_TRUE(all(false));
    EXPECT_TRUE(w.menuBar()->isEnabled());
    for (QAction* a : {w.EXP, w.IMP, w.FCLOSE, w.UPD, w.DEF, w.INF})
        EXPECT_TRUE(a->isEnabled());
}

TEST_F(MainWindow, MenuHoldsTheFileItemsAndThreeItemsThatActFromTheBar) {
    Shown s(link);
    Tfmain& w = s.w;
    QStringList bar;
    for (QAction* a : w.menuBar()->actions())
        bar << a->text();
    EXPECT_EQ(bar, (QStringList{"Файл", "Обновление ПО", "Сброс параметров", "Инфо"}));
    EXPECT_EQ(w.menuBar()->actions()[0]->menu(), w.N4);
    QStringList file;
    for (QAction* a : w.N4->actions())
        file << a->text();
    EXPECT_EQ(file,
              (QStringList{"Сохранить конфигурацию в файл", "Загрузить конфигурацию из файла", "Закрыть"}));
    for (QAction* a : {w.UPD, w.DEF, w.INF})
        EXPECT_EQ(a->menu(), nullptr);
    QAccessibleInterface* mm = QAccessible::queryAccessibleInterface(w.menuBar());
    ASSERT_EQ(mm->childCount(), 4);
    EXPECT_EQ(mm->child(1)->text(QAccessible::Name), "Обновление ПО");

    // Chosen on the bar, an item acts at once; the keyboard reaches it from F10.
    BoxAnswerer answer(QMessageBox::Ok);
    QTest::keyClick(&w, Qt::Key_F10);
    ASSERT_TRUE(wait_for([&] { return w.N4->isVisible(); }));
    QTest::keyClick(w.N4, Qt::Key_Right);
    EXPECT_EQ(w.menuBar()->activeAction(), w.UPD);
    QTest::keyClick(w.menuBar(), Qt::Key_Right);
    QTest::keyClick(w.menuBar(), Qt::Key_Right);
    EXPECT_EQ(w.menuBar()->activeAction(), w.INF);
    QTest::keyClick(w.menuBar(), Qt::Key_Return);
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].title, "INFO");
    w.FCLOSE->trigger();
    EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindow, RefreshShowsTheBlockInEveryControlButTheFocusedOneAndNeverWrites) {
    Shown s(link);
    Tfmain& w = s.w;
    w.db0->setFocus();
    w.db0->selectAll();
    QTest::keyClicks(w.db0, "-5"); // the operator is busy in db0
    ASSERT_EQ(link.par.get().db0, -5);
    ASSERT_TRUE(link.mailbox.pending());
    // A test cannot empty the mailbox; what follows must post nothing more, so it is counted from here on
    // through `par` only: refresh must leave it exactly as it is.
    const Tpar shown = block({3, 2, 3, 0, 1, 7, 9, 16, 17, 18, 19, 0xF3, 0xE0, 50, 1, 1, 9});
    link.par.set(shown);
    w.refresh();
    EXPECT_EQ(bytes(link.par.get()), bytes(shown));

    EXPECT_EQ(w.but3->scheme(), SelectorButton::Scheme::green);
    for (SelectorButton* b : {w.but0, w.but1, w.but2})
        EXPECT_EQ(b->scheme(), SelectorButton::Scheme::chrome);
    EXPECT_EQ(w.group0->currentText(), "Group 3");
    EXPECT_EQ(w.group1->currentText(), "Group 4");
    const std::vector<int> src = {0, 1, 7, 9, 16, 17, 18, 19};
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(sources(w)[n]->currentIndex(), src[n]) << n;
    EXPECT_EQ(w.xlr_gain->value(), -13);
    EXPECT_EQ(w.db0->text(), "-5");     // held by the operator
    EXPECT_EQ(w.headroom->value(), 32); // 50 shows as the limit
    EXPECT_EQ(w.scale->currentText(), "dBFS");
    EXPECT_EQ(w.ind->currentText(), "Small");
    EXPECT_EQ(w.agr->currentText(), "Вкл."); // every non-zero value
    EXPECT_EQ(QApplication::focusWidget(), w.db0);

    // Once the operator has left db0, it follows the block too; refresh still writes nothing.
    w.group1->setFocus();
    w.refresh();
    EXPECT_EQ(w.db0->value(), -32);
    EXPECT_EQ(bytes(link.par.get()), bytes(shown));
}

TEST_F(MainWindow, RefreshPostsNoWrite) {
    Shown s(link);
    link.par.set(block({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xF0, 0xF0, 5, 0, 2, 0}));
    for (QWidget* focused : std::initializer_list<QWidget*>{nullptr, s.w.db0, s.w.src2, s.w.headroom}) {
        if (focused)
            focused->setFocus();
        s.w.refresh();
    }
    s.expect_nothing_posted();
}

namespace {

// Counts paint events per control, its inner widgets (a spin box's line edit) counted as the control.
class Paints : public QObject {
public:
    explicit Paints(const std::vector<QWidget*>& controls) {
        for (QWidget* c : controls) {
            watch(c, c);
            for (QWidget* inner : c->findChildren<QWidget*>())
                watch(inner, c);
        }
    }
    std::set<QWidget*> painted;

    // Paints a widget outside the controls and waits for it: pending repaints of the window are done in
    // the same pass, so whatever refresh left to repaint has been painted by then.
    void settle(QWidget* sentinel) {
        painted.clear();
        sentinel_painted_ = false;
        sentinel_ = sentinel;
        sentinel->installEventFilter(this);
        sentinel->update();
        EXPECT_TRUE(wait_for([&] { return sentinel_painted_; }));
        sentinel->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            if (o == sentinel_)
                sentinel_painted_ = true;
            else if (auto it = control_of_.find(o); it != control_of_.end())
                painted.insert(it->second);
        }
        return false;
    }

private:
    void watch(QWidget* w, QWidget* control) {
        control_of_[w] = control;
        w->installEventFilter(this);
    }
    std::map<QObject*, QWidget*> control_of_;
    QObject* sentinel_ = nullptr;
    bool sentinel_painted_ = false;
};

} // namespace

TEST_F(MainWindow, RefreshTouchesOnlyTheControlsWhoseValueChanged) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(block({2, 1, 3, 0, 1, 7, 9, 16, 17, 18, 19, 0xF3, 0xF0, 5, 1, 2, 1}));
    w.refresh();
    std::vector<QWidget*> controls = {w.but0,     w.but1, w.but2,     w.but3,  w.group0, w.group1,
                                      w.xlr_gain, w.db0,  w.headroom, w.scale, w.ind,    w.agr};
    for (QComboBox* src : sources(w))
        controls.push_back(src);
    Paints paints(controls);
    paints.settle(w.csrc7);

    // The same block again, as every poll of an idle unit brings.
    w.refresh();
    paints.settle(w.csrc7);
    EXPECT_TRUE(paints.painted.empty());

    // One byte changed: its control shows it, and only that control is repainted.
    struct Case {
        int byte;
        uint8_t value;
        std::set<QWidget*> repainted;
        std::function<int()> shown;
        int expected;
    };
    const std::vector<Case> cases = {
        {0, 0, {w.but0, w.but2}, [&] { return int(w.but0->scheme() == SelectorButton::Scheme::green); }, 1},
        {1, 0, {w.group0}, [&] { return w.group0->currentIndex(); }, 0},
        {5, 4, {w.src2}, [&] { return w.src2->currentIndex(); }, 4},
        {11, 0xF4, {w.xlr_gain}, [&] { return w.xlr_gain->value(); }, -12},
        {12, 0xFF, {w.db0}, [&] { return w.db0->value(); }, -1},
        {13, 60, {w.headroom}, [&] { return w.headroom->value(); }, 32}, // shown as the limit
        {14, 0, {w.scale}, [&] { return w.scale->currentIndex(); }, 0},
        {15, 7, {w.ind}, [&] { return w.ind->currentIndex(); }, -1}, // no such item: no selection
        {16, 0, {w.agr}, [&] { return w.agr->currentIndex(); }, 0},
    };
    for (const Case& c : cases) {
        auto b = to_bytes(link.par.get());
        b[c.byte] = c.value;
        link.par.set(from_bytes(b));
        w.refresh();
        paints.settle(w.csrc7);
        EXPECT_EQ(c.shown(), c.expected) << "byte " << c.byte;
        EXPECT_EQ(paints.painted, c.repainted) << "byte " << c.byte;
    }

    // Lists emptied by a group change show the unit's choice with the next refresh of the same block.
    w.group1->setFocus();
    QTest::keyClick(w.group1, Qt::Key_Up);
    w.group1->clearFocus();
    w.refresh();
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(sources(w)[n]->currentIndex(), link.par.get().src[n]) << n;
}

TEST_F(MainWindow, PickingTheOtherGroupMovesThePickedSelectorAndRenamesTheSources) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(default_par); // groups 0 and 1
    w.refresh();
    w.group0->setFocus();
    QTest::keyClick(w.group0, Qt::Key_Down); // "Group 2", the secondary group's
    EXPECT_EQ(w.group0->currentText(), "Group 3");
    EXPECT_EQ(w.group1->currentText(), "Group 2");
    EXPECT_EQ(link.par.get().group[0], 2);
    EXPECT_EQ(link.par.get().group[1], 1);
    const QStringList renamed =
        QStringList{"SDI 9", "SDI 10", "SDI 11", "SDI 12", "SDI 5", "SDI 6", "SDI 7", "SDI 8"} +
        fixed_sources;
    for (QComboBox* src : sources(w)) {
        EXPECT_EQ(items(src), renamed);
        EXPECT_EQ(src->currentIndex(), -1); // until the next refresh
    }
    EXPECT_EQ(label_texts(w), sdi_labels({9, 10, 11, 12, 5, 6, 7, 8}));
    EXPECT_TRUE(link.mailbox.pending());
    w.refresh();
    EXPECT_EQ(w.src5->currentIndex(), 5);

    // The secondary selector moves the same way, past the primary group.
    w.src0->setFocus();
    link.par.change([](Tpar& p) { p.group[0] = 3, p.group[1] = 2; });
    w.refresh();
    w.group1->setFocus();
    QTest::keyClick(w.group1, Qt::Key_Down); // "Group 4", the primary group's
    EXPECT_EQ(w.group1->currentText(), "Group 1");
    EXPECT_EQ(w.group0->currentText(), "Group 4");
    EXPECT_EQ(link.par.get().group[1], 0);
    EXPECT_EQ(label_texts(w), sdi_labels({13, 14, 15, 16, 1, 2, 3, 4}));
    EXPECT_EQ(w.src0->itemText(0), "SDI 13");
    EXPECT_EQ(w.src0->itemText(4), "SDI 1");
}

TEST_F(MainWindow, GroupsThatChangeWithoutTheOperatorShowInTheSelectorsOnly) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.change([](Tpar& p) { p.group[0] = 2, p.group[1] = 3; });
    w.refresh();
    EXPECT_EQ(w.group0->currentText(), "Group 3");
    EXPECT_EQ(w.group1->currentText(), "Group 4");
    EXPECT_EQ(w.src0->itemText(0), "SDI 1");
    EXPECT_EQ(label_texts(w), sdi_labels({1, 2, 3, 4, 5, 6, 7, 8}));
    s.expect_nothing_posted();
}

TEST_F(MainWindow, ListsWriteTheirPositionWhenTheOperatorPicks) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(default_par);
    w.refresh();
    w.src3->setFocus();
    pick(w.src3, 18); // "1000Hz"
    EXPECT_EQ(link.par.get().src[3], 18);
    EXPECT_TRUE(link.mailbox.pending());
    pick(w.scale, 0);
    EXPECT_EQ(link.par.get().scale, 0);
    pick(w.ind, 1);
    EXPECT_EQ(link.par.get().ind, 1);
    pick(w.agr, 1);
    EXPECT_EQ(link.par.get().agr, 1);
    const Tpar expected = link.par.get();
    // Lists set by a refresh or the rebuild write nothing.
    link.par.set(default_par);
    w.src3->clearFocus();
    w.refresh();
    EXPECT_EQ(bytes(link.par.get()), bytes(default_par));
    EXPECT_NE(bytes(expected), bytes(default_par));
}

TEST_F(MainWindow, SpinBoxesWriteOnlyWhileTheyHoldTheFocus) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(default_par);
    w.refresh();
    w.headroom->setValue(20); // not the operator's: no write
    w.db0->stepBy(3);
    EXPECT_EQ(bytes(link.par.get()), bytes(default_par));
    s.expect_nothing_posted();

    w.headroom->setFocus();
    QTest::keyClick(w.headroom, Qt::Key_Up); // from the 20 set above
    EXPECT_EQ(link.par.get().headroom, 21);
    EXPECT_TRUE(link.mailbox.pending());
    QTest::keyClick(w.headroom, Qt::Key_PageUp);
    EXPECT_EQ(link.par.get().headroom, 31);
    QTest::keyClick(w.headroom, Qt::Key_PageUp); // the arrows stop at the limit
    EXPECT_EQ(w.headroom->value(), 32);
    EXPECT_EQ(link.par.get().headroom, 32);

    // Text that is no number yet (emptied, a lone sign) sends nothing: an on-air unit's level never
    // jumps to a limit the operator did not ask for. Leaving such text shows the level again.
    w.db0->setFocus();
    for (const Qt::Key key : {Qt::Key_Backspace, Qt::Key_Minus}) {
        w.db0->selectAll();
        QTest::keyClick(w.db0, key);
        EXPECT_EQ(link.par.get().db0, default_par.db0);
    }
    QTest::keyClicks(w.db0, "25");
    EXPECT_EQ(link.par.get().db0, -25);
    w.db0->selectAll();
    QTest::keyClick(w.db0, Qt::Key_Backspace);
    QTest::keyClick(w.db0, Qt::Key_Tab);
    EXPECT_EQ(w.db0->value(), -25);
    EXPECT_EQ(link.par.get().db0, -25);

    // A value beyond the limits that fits a byte is written while typed; leaving brings the box within
    // its limits without writing again.
    w.xlr_gain->setFocus();
    w.xlr_gain->selectAll();
    QTest::keyClicks(w.xlr_gain, "40");
    EXPECT_EQ(link.par.get().xlr_gain, 40);
    QTest::keyClick(w.xlr_gain, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.scale);
    EXPECT_EQ(w.xlr_gain->value(), 16);
    EXPECT_EQ(link.par.get().xlr_gain, 40);
    // Enter brings the box within its limits while the operator stays: that value is written.
    w.xlr_gain->setFocus();
    w.xlr_gain->selectAll();
    QTest::keyClicks(w.xlr_gain, "-99");
    QTest::keyClick(w.xlr_gain, Qt::Key_Return);
    EXPECT_EQ(w.xlr_gain->value(), -32);
    EXPECT_EQ(link.par.get().xlr_gain, -32);
}

TEST_F(MainWindow, ATypedValueThatDoesNotFitAByteIsRefusedWithAMessage) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(default_par);
    w.refresh();
    QString details;
    BoxAnswerer answer(QMessageBox::Ok, [&](QMessageBox* box) { details = box->informativeText(); });
    w.headroom->setFocus();
    w.headroom->selectAll();
    QTest::keyClicks(w.headroom, "200");
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty() && !QApplication::activeModalWidget(); }));
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].text, "Range check error");
    EXPECT_EQ(answer.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answer.seen[0].parent, &w);
    EXPECT_TRUE(details.contains("Уровень HEADROOM")) << details.toStdString();
    EXPECT_TRUE(details.contains("200")) << details.toStdString();
    // No unit has answered the digits before it: the box says what goes to the unit, not what it holds.
    EXPECT_TRUE(details.contains("не принято. В блок записывается 20; ответ блока ещё не пришёл."))
        << details.toStdString();
    EXPECT_EQ(link.par.get().headroom, 20); // as typed before the refused digit
    EXPECT_EQ(w.headroom->value(), 20);

    w.xlr_gain->setFocus();
    w.xlr_gain->selectAll();
    QTest::keyClicks(w.xlr_gain, "-129");
    ASSERT_TRUE(wait_for([&] { return answer.seen.size() == 2 && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(link.par.get().xlr_gain, -12);
    QTest::keyClicks(w.xlr_gain, "8"); // the operator carries on from what the box shows
    EXPECT_EQ(link.par.get().xlr_gain, -128);
    ASSERT_TRUE(wait_for([&] { return !QApplication::activeModalWidget(); }));
    EXPECT_EQ(answer.seen.size(), 2u);
}

TEST_F(MainWindow, ASelectorButtonWritesItsNumberAndTurnsGreenWithTheNextRefresh) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(default_par);
    w.refresh();
    const auto face = [](QWidget* b) { return b->grab().toImage().pixelColor(8, 8); };
    EXPECT_EQ(face(w.but0), QColor(0x00, 0xAF, 0x00));
    EXPECT_EQ(face(w.but2), QColor(0xC0, 0xC0, 0xC0));

    QTest::mouseClick(w.but2, Qt::LeftButton);
    EXPECT_EQ(link.par.get().but, 2);
    EXPECT_TRUE(link.mailbox.pending());
    EXPECT_FALSE(w.but2->isDown());
    EXPECT_EQ(w.but2->scheme(), SelectorButton::Scheme::chrome);
    w.refresh();
    EXPECT_EQ(w.but2->scheme(), SelectorButton::Scheme::green);
    EXPECT_EQ(w.but0->scheme(), SelectorButton::Scheme::chrome);
    EXPECT_EQ(face(w.but2), QColor(0x00, 0xAF, 0x00));
    EXPECT_EQ(face(w.but0), QColor(0xC0, 0xC0, 0xC0));
    // A screen reader hears which one is selected, not only a colour.
    const auto described = [](QWidget* b) {
        return QAccessible::queryAccessibleInterface(b)->text(QAccessible::Description);
    };
    EXPECT_EQ(described(w.but2), QStringLiteral("выбран"));
    EXPECT_EQ(described(w.but0), QString());

    // From the keyboard as well; the focus stays on the button, so Tab goes on from there.
    w.but3->setFocus();
    QTest::keyClick(w.but3, Qt::Key_Space);
    EXPECT_EQ(link.par.get().but, 3);
    EXPECT_EQ(QApplication::focusWidget(), w.but3);
    QTest::keyClick(w.but3, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.group0);

    // Pressed without taking the focus (a screen reader's action), the next refresh shows the block in
    // every control, the one holding the focus too, which keeps it.
    w.db0->setFocus();
    w.but1->click();
    link.par.change([](Tpar& p) { p.db0 = -20; });
    w.refresh();
    EXPECT_EQ(w.db0->value(), -20);
    EXPECT_EQ(QApplication::focusWidget(), w.db0);
}

TEST_F(MainWindow, ResetToDefaultsCancelledChangesNothing) {
    Shown s(link);
    Tfmain& w = s.w;
    const Tpar before = block({2, 1, 3, 5, 5, 5, 5, 5, 5, 5, 5, 3, 0xF0, 4, 0, 0, 1});
    link.par.set(before);
    w.refresh();
    BoxAnswerer answer(QMessageBox::Cancel);
    w.DEF->trigger();
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].text, "Установить значения по умолчанию?");
    EXPECT_EQ(answer.seen[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(answer.seen[0].parent, &w);
    EXPECT_EQ(bytes(link.par.get()), bytes(before));
    EXPECT_EQ(w.but2->scheme(), SelectorButton::Scheme::green);
    s.expect_nothing_posted();
}

TEST_F(MainWindow, ResetToDefaultsConfirmedShowsAndSendsThemAtOnceButInTheFocusedControl) {
    Shown s(link);
    Tfmain& w = s.w;
    link.par.set(block({2, 1, 3, 5, 5, 5, 5, 5, 5, 5, 5, 3, 0xF0, 4, 0, 0, 1}));
    w.refresh();
    w.db0->setFocus();
    BoxAnswerer answer(QMessageBox::Ok);
    w.DEFClick();
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(bytes(link.par.get()), bytes(default_par));
    EXPECT_TRUE(link.mailbox.pending());
    EXPECT_EQ(w.but0->scheme(), SelectorButton::Scheme::green);
    EXPECT_EQ(w.group1->currentText(), "Group 2");
    EXPECT_EQ(w.src7->currentIndex(), 7);
    EXPECT_EQ(w.headroom->value(), 10);
    EXPECT_EQ(w.xlr_gain->value(), 0);
    EXPECT_EQ(w.scale->currentText(), "dBFS");
    EXPECT_EQ(w.ind->currentText(), "Full");
    EXPECT_EQ(w.agr->currentText(), "Откл.");
    EXPECT_EQ(w.db0->value(), -16); // held at the reset; the next reply shows it
    EXPECT_EQ(w.focusWidget(), nullptr);
    w.refresh();
    EXPECT_EQ(w.db0->value(), -18);
}

TEST_F(MainWindow, InfoShowsModelSerialAndVersionOnThreeLines) {
    Shown s(link);
    BoxAnswerer answer(QMessageBox::Ok);
    s.w.INFClick(); // no unit found
    s.update.dev_name->setText("RV-390PKTA");
    s.update.dev_serial->setText("A-17");
    s.update.dev_version->setText("1.3");
    s.w.INFClick();
    ASSERT_EQ(answer.seen.size(), 2u);
    EXPECT_EQ(answer.seen[0].text, "Модель: \r\nСерийный номер: \r\nВерсия ПО: ");
    EXPECT_EQ(answer.seen[1].text, "Модель: RV-390PKTA\r\nСерийный номер: A-17\r\nВерсия ПО: 1.3");
    EXPECT_EQ(answer.seen[1].title, "INFO");
    EXPECT_EQ(answer.seen[1].icon, QMessageBox::Information);
    EXPECT_EQ(answer.seen[1].buttons, QMessageBox::Ok);
    EXPECT_EQ(answer.seen[1].parent, &s.w);
}

TEST_F(MainWindow, UpdateOpensCentredOverTheWindowAndLooksForTheUnitWhenClosed) {
    QString error;
    ASSERT_TRUE(link.usb_load(error)) << error.toStdString(); // a private bus without units
    Shown s(link);
    s.w.move(37, 51);
    s.update.dev_name->setText("stale");
    QPoint shown_at;
    bool was_modal = false;
    QTimer::singleShot(0, &s.update, [&] {
        shown_at = s.update.frameGeometry().topLeft();
        was_modal = s.update.isModal() && s.update.isVisible();
        s.update.cancelClick();
    });
    s.w.UPD->trigger();
    EXPECT_TRUE(was_modal);
    const QRect m = s.w.frameGeometry();
    const QRect u = s.update.frameGeometry();
    EXPECT_EQ(shown_at,
              QPoint(m.x() + m.width() / 2 - u.width() / 2, m.y() + m.height() / 2 - u.height() / 2));
    EXPECT_EQ(s.update.dev_name->text(), ""); // discovery ran and found nothing
}

TEST_F(MainWindow, ALibraryFileThatCannotBeWrittenIsShownOnceForEachActivationByTheOperator) {
    const QString home = QDir::currentPath();
    QTemporaryDir gone;
    ASSERT_TRUE(QDir::setCurrent(gone.path()));
    ASSERT_TRUE(QDir().rmdir(gone.path())); // nobody can write the library file here
    Tfu update(link);
    Tfmain w(link, &update);
    QWidget elsewhere;
    elsewhere.setWindowTitle("elsewhere");
    // Answered only once it has the focus, as an operator would.
    BoxAnswerer answer(QMessageBox::Ok,
                       [](QMessageBox* box) { wait_for([box] { return box->isActiveWindow(); }); });
    w.show();
    w.activateWindow();
    ASSERT_TRUE(wait_for([&] { return answer.seen.size() == 1 && !QApplication::activeModalWidget(); }));
    EXPECT_TRUE(w.isVisible());
    EXPECT_NE(answer.seen[0].text.indexOf("HID_Lib"), -1) << answer.seen[0].text.toStdString();
    // Back from the box, the window is not started again. (Offscreen, the focus does not come back to it;
    // under a window manager it does, and this checks that no box follows: QT_QPA_PLATFORM=xcb.)
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(wait_for([&] { return elsewhere.isActiveWindow(); }));
    EXPECT_EQ(answer.seen.size(), 1u);

    // The operator comes back to the window: the start-up is tried again.
    w.activateWindow();
    ASSERT_TRUE(wait_for([&] { return answer.seen.size() == 2; }));
    ASSERT_TRUE(QDir::setCurrent(home));
}
