// serve --ember: the units as an Ember+ provider until interrupted.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/ember_units.h"
#include "cli/interrupts.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "ember/provider.h"

#include <QHostAddress>

namespace {
constexpr quint16 default_port = 9000;

// "PORT", "ADDR:PORT" or "[ADDR]:PORT"; empty: the loopback address and the default port.
bool parse_address(const QString& text, QHostAddress& address, quint16& port) {
    address = QHostAddress(QHostAddress::LocalHost);
    port = default_port;
    if (text.isEmpty())
        return true;
    QString host;
    QString number = text;
    if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        number = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (!address.setAddress(host))
            return false;
    }
    bool ok = false;
    const uint n = number.toUInt(&ok);
    port = quint16(n);
    return ok && n <= 65535;
}
} // namespace

int run_serve(const Invocation& inv, UnitSession& session) {
    QHostAddress address;
    quint16 port = 0;
    if (!parse_address(*inv.ember, address, port))
        return command_failed(
            inv, exit_usage,
            QStringLiteral("--ember %1: нужен ПОРТ или АДРЕС:ПОРТ, например 127.0.0.1:9000").arg(*inv.ember));
    const interrupts::Signals::Hold hold(session.stop_signals);
    EmberUnits units(session.link.ui, session.link, inv.read_only);
    EmberProvider provider(units);
    // The service's log: a line for each consumer and unit that comes or goes, on standard output.
    const auto note = [](const QString& text) { console::out(text); };
    units.on_note = note;
    provider.on_note = note;
    if (QString why; !provider.listen(address, port, why))
        return command_failed(inv, exit_failed,
                              QStringLiteral("Ember+: не удалось открыть %1:%2: %3")
                                  .arg(address.toString())
                                  .arg(port)
                                  .arg(why));
    console::out(QStringLiteral("Ember+: поставщик слушает %1:%2%3 (не больше %4 потребителей)")
                     .arg(provider.address().toString())
                     .arg(provider.port())
                     .arg(inv.read_only ? QStringLiteral(", только чтение") : QString())
                     .arg(EmberProvider::max_consumers));
    // The command's own link only watches what is connected; each unit gets a link of its own.
    session.link.scan_only();
    units.start(provider);
    session.wait_until([&] { return session.stop_signals.requested(); }, std::chrono::hours(24 * 365 * 10));
    console::out(
        QStringLiteral("Ember+: остановлен (%1)").arg(QLatin1String(session.stop_signals.signal_name())));
    return exit_done;
}
