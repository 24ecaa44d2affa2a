// rv390pkta-cli serve --ember against a consumer we did not write (node-emberplus), two virtual units
// on the test's own bus, and a consumer that sends garbage.
#include "sim/virtual_unit.h"
#include "tests/support/program.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

UnitOptions named(const char* serial) {
    UnitOptions o;
    o.serial = serial;
    return o;
}

// Waits until the unit's block passes `test`: each look follows a command the unit received (the
// provider polls every unit every 200 ms).
template <class Test> bool wait_for_block(const VirtualUnit& unit, Test test) {
    for (int i = 0; i < 100; ++i) {
        if (test(unit.settings()))
            return true;
        if (!unit.wait_for_commands(unit.command_count() + 1, 5s))
            break;
    }
    return test(unit.settings());
}

// The next line of the provider's log that contains `text`.
bool log_shows(RunningProgram& serve, const QString& text, QString* line = nullptr) {
    while (const std::optional<QByteArray> next = serve.read_line(20s))
        if (QString::fromUtf8(*next).contains(text)) {
            if (line)
                *line = QString::fromUtf8(*next).trimmed();
            return true;
        }
    return false;
}

// Connects to the provider and sends `bytes`, as a consumer that does not speak Ember+.
void send_raw(quint16 port, const QByteArray& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL), bytes.size());
    ::close(fd);
}

} // namespace

TEST(EmberProvider, AConsumerWeDidNotWriteReadsTheTreeRoutesSetsAndSeesTheUnitsChange) {
    const QString modules = QStringLiteral(EMBER_CONSUMER_MODULES);
    if (!QFileInfo::exists(modules + QStringLiteral("/node-emberplus/package.json")))
        GTEST_SKIP() << "node-emberplus is not installed in " << modules.toStdString()
                     << " (npm could not fetch it): the consumer test cannot run here";
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    if (node.isEmpty())
        GTEST_SKIP() << "node is not installed: the consumer test cannot run here";
    qputenv("EMBER_CONSUMER_MODULES", modules.toLocal8Bit());
    VirtualUnit first{named("VU-0001")}, second{named("VU-0002")};
    ASSERT_TRUE(first.plug() && second.plug());

    RunningProgram serve(QStringLiteral(RV390PKTA_CLI), {"serve", "--ember", "127.0.0.1:0"});
    QString listening;
    ASSERT_TRUE(log_shows(serve, QStringLiteral("слушает"), &listening)) << serve.finish().err.toStdString();
    const QRegularExpressionMatch at = QRegularExpression(QStringLiteral(":(\\d+)")).match(listening);
    ASSERT_TRUE(at.hasMatch()) << listening.toStdString();
    const auto port = quint16(at.captured(1).toUInt());
    // The tree is read whole once both units' settings are in it.
    for (int unit = 0; unit < 2; ++unit)
        ASSERT_TRUE(log_shows(serve, QStringLiteral("настройки блока получены")));

    // Garbage is sent away, and nobody else notices.
    send_raw(port, QByteArray("\xFE\x00\x0E\x01\x01\xFD\x00\xFF", 8));
    EXPECT_TRUE(log_shows(serve, QStringLiteral("отключён"))) << "the consumer that broke the framing";

    RunningProgram consumer(node, {QStringLiteral(EMBER_CONSUMER_SCRIPT), "127.0.0.1", QString::number(port),
                                   "VU-0001", "VU-0002"});
    const auto next = [&] {
        const QJsonObject o = QJsonDocument::fromJson(consumer.read_line(30s).value_or("{}")).object();
        EXPECT_NE(o[QStringLiteral("step")].toString(), QStringLiteral("error"))
            << o[QStringLiteral("message")].toString().toStdString();
        return o;
    };
    const QJsonObject tree = next()[QStringLiteral("tree")].toObject();
    const auto at_path = [&](const char* p) {
        return tree[QStringLiteral("RV-390PKTA/") + QLatin1String(p)];
    };
    EXPECT_EQ(at_path("VU-0002/identity/serial").toString(), QStringLiteral("VU-0002"));
    EXPECT_EQ(at_path("VU-0001/identity/mode").toString(), QStringLiteral("normal"));
    EXPECT_EQ(at_path("VU-0001/headroom").toInt(), first.settings()[13]);
    EXPECT_EQ(at_path("VU-0001/labels/targets/t4").toString(), QStringLiteral("SDI#5"));
    EXPECT_EQ(at_path("VU-0001/labels/sources/s8").toString(), QStringLiteral("AES 1L"));
    EXPECT_EQ(at_path("VU-0001/routing").toObject()[QStringLiteral("2")], QJsonArray{first.settings()[5]});

    // A crosspoint on one unit and a level on the other, each through its own link.
    EXPECT_EQ(next()[QStringLiteral("step")].toString(), QStringLiteral("written"));
    EXPECT_TRUE(wait_for_block(first, [](const TparBytes& b) { return b[5] == 8; }));
    EXPECT_TRUE(wait_for_block(second, [](const TparBytes& b) { return b[13] == 7; }));
    EXPECT_EQ(first.settings()[13], 10) << "the other unit's level is untouched";

    // A change made beside the provider reaches the consumer with a poll.
    const ProgramOutput set =
        run_program(QStringLiteral(RV390PKTA_CLI), {"set", "--unit", "VU-0001", "headroom=21"});
    EXPECT_EQ(set.status, 0) << set.err.toStdString();
    EXPECT_EQ(next()[QStringLiteral("value")].toInt(), 21);

    second.unplug();
    EXPECT_EQ(next()[QStringLiteral("step")].toString(), QStringLiteral("offline"));
    ASSERT_TRUE(second.plug());
    EXPECT_EQ(next()[QStringLiteral("step")].toString(), QStringLiteral("online"));
    EXPECT_EQ(consumer.finish().status, 0);

    serve.signal(SIGTERM);
    const ProgramOutput end = serve.finish();
    EXPECT_EQ(end.status, 0) << end.err.toStdString();
    EXPECT_TRUE(end.out.contains(QStringLiteral("подключился"))) << end.out.toStdString();
}
