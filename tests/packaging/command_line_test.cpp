// --version and --help of both programs: the utility's handle_command_line and the virtual unit's parser.
#include "core/command_line.h"
#include "sim/sim_options.h"

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
