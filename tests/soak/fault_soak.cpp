// The fault soak: the utility's two windows and its link, in this process on the offscreen platform,
// against a virtual unit that answers late, loses and spoils replies and is unplugged every few seconds,
// while a scripted operator changes settings through the controls. It follows every change to the unit
// or to the status bar, and measures the longest stall of the user-interface thread.
//
//   fault_soak [--seconds N] [--seed S] [--trace]
//
// --trace prints every change, every event of the unit and every status bar text on stderr.
//
// Exit status 1 when a change was lost without a word or the window stalled for more than a second.
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"
#include "sim/virtual_unit.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "ui/selector_button.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Often enough that every fault meets the link many times a minute, rarely enough that most changes
// still get through. A third of the late answers come after the library has given up (1 s).
UnitFaults soak_faults(uint64_t seed) {
    UnitFaults f;
    f.late_answer_max = 1500ms;
    f.late_answer_percent = 5;
    f.drop_reply_percent = 5;
    f.corrupt_reply_percent = 5;
    f.seed = seed;
    return f;
}
constexpr std::pair<int, int> operator_ms{250, 750};   // between changes: about two a second
constexpr std::pair<int, int> plugged_ms{8000, 12000}; // how long the cable stays in...
constexpr std::pair<int, int> unplugged_ms{300, 2000}; // ...and out
constexpr int settle_ms = 30000;                       // at the end, for the last changes to get through
constexpr const char* not_sent = "не передано";        // what the status bar says of a lost change
constexpr int stall_goal_ms = 1000;

QElapsedTimer since_start;
bool tracing = false;

void trace(const std::string& line) {
    if (tracing)
        std::fprintf(stderr, "%7.3f %s\n", static_cast<double>(since_start.nsecsElapsed()) / 1e9,
                     line.c_str());
}

// One operator change: the byte of the settings block it set, and what became of it.
struct Change {
    std::size_t byte;
    uint8_t value;
    std::size_t after = 0; // the unit's command count when it was made: only later commands can carry it
    std::optional<std::size_t> reached_at = std::nullopt; // the first command that carried it
    bool undone = false; // a later block took it back, though the operator had not set the byte again
    bool told = false;
    bool superseded = false; // the operator set the same byte again before this reached the unit
    // The round in which a block carrying a later change, but not this one, reached the unit: from the
    // next round on the change is lost, and the status bar can no longer be telling of it.
    std::optional<unsigned> lost_in = std::nullopt;
};

// Follows every change against the commands that reached the unit and against the status bar.
class Ledger {
public:
    explicit Ledger(const VirtualUnit& unit) : unit_(unit) {}

    // The unit's command count from before the change: the worker may send it before this is called.
    std::size_t commands_now() const { return unit_.command_count(); }

    void made(std::size_t byte, uint8_t value, std::size_t after) {
        for (Change& c : changes_)
            if (c.byte == byte && open(c))
                c.superseded = true;
        changes_.push_back({byte, value, after});
        trace("change " + std::to_string(changes_.size() - 1) + ": byte " + std::to_string(byte) + " = " +
              std::to_string(value));
    }

    // The status bar says a change was not sent: that covers every change still on its way.
    void told() {
        for (Change& c : changes_)
            if (open(c))
                c.told = true;
    }

    // One round: the settings blocks that reached the unit since the last one.
    void judge() {
        ++round_;
        const std::vector<ReceivedCommand> fresh = unit_.commands(seen_);
        for (std::size_t k = 0; k < fresh.size(); ++k) {
            const std::vector<uint8_t>& block = fresh[k].payload;
            if (fresh[k].code != cmd_set_par || block.size() != sizeof(Tpar))
                continue;
            const std::size_t index = seen_ + k;
            std::optional<std::size_t> latest; // the latest change this block carries
            for (std::size_t i = 0; i < changes_.size(); ++i) {
                Change& c = changes_[i];
                if (index < c.after)
                    continue;
                if (block[c.byte] == c.value) {
                    if (!c.reached_at)
                        c.reached_at = index;
                    latest = i;
                } else if (c.reached_at && !c.undone && !set_again_before(i, index)) {
                    // Sent after the change had reached the unit, so framed after it too: the link
                    // wrote back a block it should no longer have held.
                    c.undone = true;
                    trace("change " + std::to_string(i) + " undone by command " + std::to_string(index));
                }
            }
            for (std::size_t i = 0; latest && i < *latest; ++i)
                if (!changes_[i].reached_at && !changes_[i].lost_in) {
                    changes_[i].lost_in = round_;
                    trace("change " + std::to_string(i) + " lost: command " + std::to_string(seen_ + k) +
                          " carries change " + std::to_string(*latest) + " without it");
                }
        }
        seen_ += fresh.size();
    }

    // Nothing more can become of any change.
    bool settled() const {
        for (const Change& c : changes_)
            if (open(c))
                return false;
        return true;
    }

    struct Counts {
        std::size_t made = 0, reached = 0, told = 0, superseded = 0, silent = 0, undone = 0;
    };
    Counts counts() const {
        Counts n;
        n.made = changes_.size();
        for (const Change& c : changes_) {
            n.undone += c.undone;
            ++(c.undone       ? n.silent
               : c.reached_at ? n.reached
               : c.told       ? n.told
               : c.superseded ? n.superseded
                              : n.silent);
        }
        return n;
    }

private:
    bool open(const Change& c) const {
        return !c.reached_at && !c.told && !c.superseded && !(c.lost_in && *c.lost_in < round_);
    }
    // The operator set change i's byte again before command `index` reached the unit.
    bool set_again_before(std::size_t i, std::size_t index) const {
        for (std::size_t l = i + 1; l < changes_.size(); ++l)
            if (changes_[l].byte == changes_[i].byte && changes_[l].after <= index)
                return true;
        return false;
    }

    const VirtualUnit& unit_;
    std::vector<Change> changes_;
    std::size_t seen_ = 0; // commands judged
    unsigned round_ = 0;
};

// The scripted operator: one change through one control, as a person would make it.
class Operator {
public:
    Operator(Tfmain& w, Ledger& ledger, uint64_t seed)
        : w_(w), ledger_(ledger), random_(seed), buttons_{w.but0, w.but1, w.but2, w.but3},
          controls_{{w.but0, offsetof(Tpar, but)},         {w.group0, offsetof(Tpar, group)},
                    {w.group1, offsetof(Tpar, group) + 1}, {w.xlr_gain, offsetof(Tpar, xlr_gain)},
                    {w.db0, offsetof(Tpar, db0)},          {w.headroom, offsetof(Tpar, headroom)},
                    {w.scale, offsetof(Tpar, scale)},      {w.ind, offsetof(Tpar, ind)},
                    {w.agr, offsetof(Tpar, agr)}} {
        QComboBox* srcs[] = {w.src0, w.src1, w.src2, w.src3, w.src4, w.src5, w.src6, w.src7};
        for (std::size_t n = 0; n < 8; ++n)
            controls_.push_back({srcs[n], offsetof(Tpar, src) + n});
    }

    bool can_act() const { return w_.but0->isEnabled() && w_.src0->isEnabled() && w_.db0->isEnabled(); }

    void act() {
        const auto& [control, byte] = controls_[pick(controls_.size())];
        const std::size_t after = ledger_.commands_now();
        uint8_t value = 0;
        if (qobject_cast<SelectorButton*>(control)) {
            std::vector<SelectorButton*> others; // the selected one is green: clicking it changes nothing
            for (SelectorButton* b : buttons_)
                if (b->scheme() != SelectorButton::Scheme::green)
                    others.push_back(b);
            const std::size_t n = pick(others.size());
            QTest::mouseClick(others[n], Qt::LeftButton);
            value = static_cast<uint8_t>(std::find(buttons_.begin(), buttons_.end(), others[n]) -
                                         buttons_.begin());
        } else if (auto* box = qobject_cast<QComboBox*>(control)) {
            const int current = box->currentIndex(); // -1 after a group change, until the next refresh
            int index =
                static_cast<int>(pick(static_cast<std::size_t>(box->count() - (current >= 0 ? 1 : 0))));
            if (current >= 0 && index >= current)
                ++index;
            box->setFocus(Qt::MouseFocusReason);
            box->setCurrentIndex(index);
            emit box->activated(index);                        // as when the operator picks the item
            value = static_cast<uint8_t>(box->currentIndex()); // a group moves on from the other group's
        } else if (auto* spin = qobject_cast<ByteSpinBox*>(control)) {
            const int v = spin->read();
            const bool up = v <= spin->low() || (v < spin->high() && pick(2) == 0);
            spin->setFocus(Qt::TabFocusReason);
            QTest::keyClick(spin, up ? Qt::Key_Up : Qt::Key_Down);
            value = static_cast<uint8_t>(static_cast<int8_t>(spin->read()));
        }
        ledger_.made(byte, value, after);
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    Tfmain& w_;
    Ledger& ledger_;
    std::mt19937_64 random_;
    std::vector<SelectorButton*> buttons_;
    std::vector<std::pair<QWidget*, std::size_t>> controls_;
};

struct Args {
    int seconds = 300;
    uint64_t seed = std::random_device{}();
    bool trace = false;
};

std::optional<Args> parse(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string o = argv[i];
        if (o == "--trace") {
            a.trace = true;
            continue;
        }
        if (i + 1 >= argc || (o != "--seconds" && o != "--seed"))
            return std::nullopt;
        char* end = nullptr;
        const unsigned long long v = std::strtoull(argv[++i], &end, 10);
        if (*end != 0 || end == argv[i])
            return std::nullopt;
        if (o == "--seconds")
            a.seconds = static_cast<int>(std::min(v, 86400ULL));
        else
            a.seed = v;
    }
    return a;
}

} // namespace

int main(int argc, char** argv) {
    const auto args = parse(argc, argv);
    if (!args) {
        std::fprintf(stderr, "usage: fault_soak [--seconds N] [--seed S] [--trace]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir runtime; // 0700, private: its own virtual HID bus
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    QTemporaryDir work; // the working folder, where the utility puts its library file
    QDir::setCurrent(work.path());
    QApplication app(argc, argv);
    since_start.start();
    tracing = args->trace;
    std::printf("fault soak: %d s, seed %llu\n", args->seconds, static_cast<unsigned long long>(args->seed));
    std::fflush(stdout);

    UnitOptions options;
    options.faults = soak_faults(args->seed);
    VirtualUnit unit(options);
    std::atomic<unsigned> late{0}, too_late{0}, dropped{0}, corrupted{0};
    unit.on_event = [&](const UnitEvent& e) {
        trace(e.line);
        if (e.kind != UnitEvent::Kind::fault)
            return;
        if (e.line.find(" ms late") != std::string::npos)
            ++(std::stoi(e.line.substr(e.line.find("answer ") + 7)) >= 1000 ? too_late : late);
        else if (e.line.find("not sent") != std::string::npos)
            ++dropped;
        else if (e.line.find("wrong CRC") != std::string::npos)
            ++corrupted;
    };
    if (!unit.plug()) {
        std::fprintf(stderr, "fault_soak: the unit cannot be plugged in: %s\n", unit.error().c_str());
        return 1;
    }

    // As the program's entry makes them; message boxes (none is expected) are noted and answered.
    UiHandover handover;
    Link link(handover);
    Tfu update_window(link);
    Tfmain main_window(link, &update_window);
    BoxAnswerer boxes(QMessageBox::Ok);
    QObject::connect(&link, &Link::error, [&main_window](const QString& text) {
        QMessageBox::critical(&main_window, QStringLiteral("RV-390PKTA"), text);
    });
    Ledger ledger(unit);
    Operator person(main_window, ledger, args->seed + 1);
    std::map<QString, int> status_lines;
    QObject::connect(main_window.statusBar(), &QStatusBar::messageChanged, [&](const QString& text) {
        if (!text.isEmpty())
            ++status_lines[text];
        trace("status bar: " + text.toStdString());
        if (text.contains(QString::fromUtf8(not_sent)))
            ledger.told();
    });
    main_window.show();
    main_window.activateWindow(); // its activation brings the link up
    if (!wait_for([&] { return person.can_act(); }, 30000)) {
        std::fprintf(stderr, "fault_soak: the controls did not come on with the unit\n");
        return 1;
    }

    // The stall meter: a 10 ms beat on the user-interface thread.
    qint64 last_beat = since_start.elapsed(), stall_ms = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = since_start.elapsed();
        if (now - last_beat - 10 > stall_ms) {
            stall_ms = now - last_beat - 10;
            trace("longest stall so far: " + std::to_string(stall_ms) + " ms");
        }
        last_beat = now;
    });
    beat.start(10);

    // Random intervals on precise timers: Qt would line coarse ones up with the window's own, and the
    // changes and unplugs would always meet the link at the same point of its poll.
    std::mt19937_64 timing(args->seed + 2);
    const auto between = [&](std::pair<int, int> r) {
        return std::uniform_int_distribution<int>(r.first, r.second)(timing);
    };
    bool acting = true;
    QTimer operator_tick;
    operator_tick.setTimerType(Qt::PreciseTimer);
    operator_tick.setSingleShot(true);
    QObject::connect(&operator_tick, &QTimer::timeout, [&] {
        ledger.judge();
        if (acting && person.can_act())
            person.act();
        operator_tick.start(between(operator_ms));
    });
    operator_tick.start(between(operator_ms));

    unsigned unplugs = 0;
    QTimer cable;
    cable.setTimerType(Qt::PreciseTimer);
    cable.setSingleShot(true);
    QObject::connect(&cable, &QTimer::timeout, [&] {
        if (unit.plugged()) {
            unit.unplug();
            ++unplugs;
            cable.start(between(unplugged_ms));
        } else {
            if (!unit.plug())
                std::fprintf(stderr, "fault_soak: plugging in again failed: %s\n", unit.error().c_str());
            cable.start(between(plugged_ms));
        }
    });
    cable.start(between(plugged_ms));

    wait_for([] { return false; }, args->seconds * 1000); // the soak itself
    acting = false;
    // The end: the unit back, without faults, and time for what is still on its way.
    cable.stop();
    unit.set_faults({});
    if (!unit.plugged())
        unit.plug();
    const bool settled = wait_for([&] { return ledger.settled(); }, settle_ms);
    ledger.judge();
    beat.stop();

    link.thr.Terminate();
    link.thr.WaitFor();
    link.usb_shutdown();

    const Ledger::Counts n = ledger.counts();
    std::printf("changes made:           %zu\n", n.made);
    std::printf("reached the unit:       %zu\n", n.reached);
    std::printf("told not sent:          %zu\n", n.told);
    std::printf("superseded:             %zu  (set again by the operator before it could be sent)\n",
                n.superseded);
    std::printf("silent losses:          %zu  (%zu undone after reaching the unit)%s\n", n.silent, n.undone,
                settled ? "" : ", some never settled");
    std::printf("longest stall:          %lld ms\n", static_cast<long long>(stall_ms));
    std::printf("crashes:                0\n");
    std::printf("unit faults:            %u answers late under 1 s, %u after the library gave up, %u replies "
                "not sent, %u with a wrong CRC, %u unplugs\n",
                late.load(), too_late.load(), dropped.load(), corrupted.load(), unplugs);
    for (const auto& [text, times] : status_lines)
        std::printf("status bar (%d×):        %s\n", times, text.toUtf8().constData());
    for (const auto& box : boxes.seen)
        std::printf("message box:            %s\n", box.text.toUtf8().constData());
    const bool pass = n.silent == 0 && stall_ms <= stall_goal_ms;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
