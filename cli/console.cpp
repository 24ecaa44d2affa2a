// Standard output and error, the terminal question and the progress display.
#include "cli/console.h"

#include "cli/interrupts.h"
#include "cli/json_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

namespace console {

void out(const QString& line) {
    std::cout << line.toStdString() << '\n' << std::flush;
}

QString printable(const QString& device_text, bool in_column) {
    QString s;
    s.reserve(device_text.size());
    for (const QChar c : device_text) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            s += QStringLiteral("\\\\");
        else if (u < 0x20 || (u >= 0x7F && u < 0xA0) || (in_column && c.isSpace()))
            s += u > 0xFF ? QStringLiteral("\\u%1").arg(unsigned(u), 4, 16, QLatin1Char('0'))
                          : QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        else
            s += c;
    }
    return s;
}

QString cannot_open(const FoundUnit& unit) {
    FoundUnit shown = unit;
    shown.identity.path = printable(unit.identity.path);
    return cannot_open_note(shown);
}

void err(const QString& line) {
    std::cout << std::flush; // what was said before comes before the problem
    std::cerr << "rv390pkta-cli: " << line.toStdString() << '\n' << std::flush;
}

bool input_is_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool output_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool ask(interrupts::Signals& stop_signals, const QString& question, bool default_yes) {
    if (!input_is_terminal())
        return default_yes;
    std::cout << question.toStdString() << (default_yes ? " [Д/н] " : " [д/Н] ") << std::flush;
    // A signal while the question waits is no answer: it ends the wait, and the caller sees why.
    if (!stop_signals.wait_readable(STDIN_FILENO)) {
        std::cout << '\n' << std::flush;
        return false;
    }
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false; // end of input is no consent
    const QString a = QString::fromStdString(answer).trimmed().toLower();
    if (a.isEmpty())
        return default_yes;
    return a.startsWith(QStringLiteral("д")) || a.startsWith(QLatin1Char('y'));
}

Terminal::Terminal() : tty_(output_is_terminal()) {}

void Terminal::lift() {
    if (bars_.empty())
        return;
    // Back to the first bar's line and everything below it cleared.
    std::string up = "\r";
    for (std::size_t i = 1; i < bars_.size(); ++i)
        up += "\x1b[A";
    std::cout << up << "\x1b[J" << std::flush;
}

void Terminal::lay() const {
    for (std::size_t i = 0; i < bars_.size(); ++i)
        std::cout << (i == 0 ? "" : "\n") << bars_[i].second;
    std::cout << std::flush;
}

void Terminal::out(const QString& line) {
    const std::lock_guard lock(lock_);
    lift();
    console::out(line);
    lay();
}

void Terminal::err(const QString& line) {
    const std::lock_guard lock(lock_);
    lift();
    console::err(line);
    lay();
}

bool Terminal::ask(interrupts::Signals& stop_signals, const QString& question, bool default_yes) {
    const std::lock_guard one_at_a_time(asking_);
    return console::ask(stop_signals, question, default_yes);
}

int Terminal::open_bar() {
    const std::lock_guard lock(lock_);
    lift();
    bars_.emplace_back(next_bar_, std::string());
    lay();
    return next_bar_++;
}

void Terminal::draw_bar(int bar, const QString& text) {
    const std::lock_guard lock(lock_);
    lift();
    for (auto& [id, shown] : bars_)
        if (id == bar)
            shown = text.toStdString();
    lay();
}

void Terminal::close_bar(int bar) {
    const std::lock_guard lock(lock_);
    lift();
    for (auto it = bars_.begin(); it != bars_.end(); ++it)
        if (it->first == bar) {
            if (!it->second.empty())
                std::cout << it->second << '\n';
            bars_.erase(it);
            break;
        }
    lay();
}

Progress::Progress(Terminal& terminal, QString caption, std::optional<QString> json_serial)
    : terminal_(terminal), caption_(std::move(caption)), json_serial_(std::move(json_serial)) {}

Progress::~Progress() {
    finish();
}

void Progress::show(int percent) {
    if (percent == shown_)
        return;
    if (json_serial_) {
        terminal_.out(json_output::line(
            json_output::event("progress", *json_serial_, {{QStringLiteral("percent"), percent}})));
    } else if (terminal_.draws_bars()) {
        if (bar_ < 0)
            bar_ = terminal_.open_bar();
        constexpr int width = 40;
        const int filled = percent * width / 100;
        terminal_.draw_bar(bar_, QStringLiteral("%1 [%2%3] %4 %")
                                     .arg(caption_, QString(filled, u'#'), QString(width - filled, u'.'))
                                     .arg(percent));
    } else {
        // A line at each tenth reached, so a log is not flooded.
        if (shown_ >= 0 && percent / 10 == shown_ / 10 && percent != 100)
            return;
        terminal_.out(QStringLiteral("%1: %2 %").arg(caption_).arg(percent));
    }
    shown_ = percent;
}

void Progress::finish() {
    if (bar_ >= 0)
        terminal_.close_bar(bar_);
    bar_ = -1;
    shown_ = -1;
}

} // namespace console
