// --version and --help of both programs: the utility's handle_command_line and the virtual unit's parser.
#include "core/command_line.h"
#include "sim/sim_options.h"
#include "ui/settings_table.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
    std::optional<int> code;
    std::string out;
};

Result run(std::vector<std::string> args) {
    args.insert(args.begin(), "rv390pkta");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out;
    const auto code = handle_command_line(static_cast<int>(args.size()), argv.data(), out);
    return {code, out.str()};
}

} // namespace

TEST(CommandLine, VersionPrintsTheProjectVersion) {
    const Result r = run({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string("rv390pkta ") + PROJECT_VERSION + "\n");
}

TEST(CommandLine, HelpPrintsTheUsage) {
    for (const char* option : {"--help", "-h"}) {
        const Result r = run({option});
        EXPECT_EQ(r.code, 0) << option;
        EXPECT_EQ(r.out, command_line_usage()) << option;
    }
    const std::string usage = command_line_usage();
    EXPECT_NE(usage.find("--version"), std::string::npos);
    EXPECT_NE(usage.find("--help"), std::string::npos);
}

TEST(CommandLine, FirstOfTheTwoWins) {
    EXPECT_EQ(run({"--help", "--version"}).out, command_line_usage());
    EXPECT_EQ(run({"-platform", "offscreen", "--version", "--help"}).out,
              std::string("rv390pkta ") + PROJECT_VERSION + "\n");
}

TEST(CommandLine, OtherArgumentsGoOnToTheWindows) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"-platform", "offscreen"},
                                               {"--style", "Fusion"},
                                               {"--bogus"},
                                               {"file.cfg"},
                                               {"-help"},
                                               {"--versions"},
                                               {"--", "--version"}}) {
        const Result r = run(args);
        EXPECT_FALSE(r.code.has_value()) << (args.empty() ? "" : args.front());
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(SimCommandLine, BareVersionAsksForTheProgramsVersion) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"--boot", "--version"}, {"--version", "--boot"}, {"make-update", "--version"}}) {
        EXPECT_EQ(parse_sim_args(args).run, SimArgs::Run::version) << args.front();
    }
    EXPECT_EQ(sim_version_text(), std::string("rv390pkta-sim ") + PROJECT_VERSION);
}

TEST(SimCommandLine, VersionWithAValueStillSetsTheFirmwareVersion) {
    const SimArgs unit = parse_sim_args({"--version", "2.7"});
    EXPECT_EQ(unit.run, SimArgs::Run::unit);
    EXPECT_EQ(unit.unit.version, 0x0207);
    const SimArgs update =
        parse_sim_args({"make-update", "--version", "1.4", "--flash", "f.bin", "-o", "x.voku"});
    EXPECT_EQ(update.run, SimArgs::Run::make_update);
    EXPECT_EQ(update.update.major, 1u);
    EXPECT_EQ(update.update.minor, 4u);
}

TEST(SimCommandLine, HelpNamesBothOptions) {
    EXPECT_EQ(parse_sim_args({"--help"}).run, SimArgs::Run::help);
    EXPECT_EQ(parse_sim_args({"-h"}).run, SimArgs::Run::help);
    const std::string usage = sim_usage();
    EXPECT_NE(usage.find("--help"), std::string::npos);
    EXPECT_NE(usage.find("--version"), std::string::npos);
}

TEST(CommandLine, TheManPageAndTheCompletionKnowEveryKeyOfTheSettingsTableWithItsValues) {
    const auto read = [](const char* path) {
        QFile f(QString::fromUtf8(path));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path;
        return QString::fromUtf8(f.readAll());
    };
    const QString man = read(CLI_MAN_PAGE);
    const QString keys =
        man.mid(man.indexOf(".SH KEYS"), man.indexOf(".SH OPTIONS") - man.indexOf(".SH KEYS"));
    const QString completion = read(CLI_COMPLETION);
    // The keys `set` completes: the words of the loop that offers them.
    const qsizetype loop = completion.indexOf(QStringLiteral("for w in selector"));
    const QStringList offered =
        completion.mid(loop + 9, completion.indexOf(QStringLiteral("; do"), loop) - loop - 9)
            .split(QRegularExpression(QStringLiteral("[\\s\\\\]+")), Qt::SkipEmptyParts);
    EXPECT_EQ(offered.size(), qsizetype(settings_table().size()) - 7) << offered.join(' ').toStdString();
    for (const SettingsField& f : settings_table()) {
        const QString key = QString::fromLatin1(f.key);
        // The sources stand as one range in both.
        const bool source = key.startsWith(QStringLiteral("source"));
        EXPECT_TRUE(keys.contains(source ? QStringLiteral("source1") : key)) << f.key;
        EXPECT_TRUE(offered.contains(source ? QStringLiteral("source{1..8}") : key)) << f.key;
        if (f.names.empty()) {
            const int shown = f.from_one ? 1 : 0;
            const QString range = QStringLiteral("%1 to %2").arg(f.low + shown).arg(f.high + shown);
            EXPECT_TRUE(keys.contains(QString(range).replace(QLatin1Char('-'), QStringLiteral("\\-"))))
                << f.key;
        } else {
            QStringList names;
            for (const char* n : f.names) {
                EXPECT_TRUE(keys.contains(QString::fromLatin1(n))) << f.key << ' ' << n;
                names << QString::fromLatin1(n);
            }
            EXPECT_TRUE(completion.contains(QStringLiteral("%1) offered=(%2) ;;").arg(key, names.join(' '))))
                << f.key;
        }
    }
}
