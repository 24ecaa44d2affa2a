// Standard output and error, the terminal question and the progress display.
#include "cli/console.h"

#include "cli/interrupts.h"

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

Progress::Progress(QString caption) : caption_(std::move(caption)), bar_(output_is_terminal()) {}

void Progress::show(int percent) {
    if (bar_) {
        if (percent == shown_)
            return;
        constexpr int width = 40;
        const int filled = percent * width / 100;
        std::cout << '\r' << caption_.toStdString() << " [" << std::string(std::size_t(filled), '#')
                  << std::string(std::size_t(width - filled), '.') << "] " << percent << " %" << std::flush;
    } else {
        // A line at each tenth reached, so a log is not flooded.
        if (shown_ >= 0 && percent / 10 == shown_ / 10 && percent != 100)
            return;
        if (percent == shown_)
            return;
        out(QStringLiteral("%1: %2 %").arg(caption_).arg(percent));
    }
    shown_ = percent;
}

void Progress::finish() {
    if (bar_ && shown_ >= 0)
        std::cout << '\n' << std::flush;
    shown_ = -1;
}

} // namespace console
