// The update routine on its own: no window, a recording sender in place of the unit.
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "update/update_procedure.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

struct Case {
    const char* what;
    std::string name; // in the file; the unit is "RV-390PKTA(boot)"
    std::vector<uint8_t> flash;
    std::vector<uint8_t> eeprom;
    std::optional<std::size_t> refused; // the index of the request the unit refuses
    UpdateOutcome outcome;
    // Requests and progress in the order they happened; "sending" is the routine's go-ahead.
    std::vector<std::string> trace;
};

const Case cases[] = {
    {"flash only, the last block short",
     "RV-390PKTA",
     pattern(600, 1),
     {},
     {},
     UpdateOutcome::sent,
     {"sending", "erase 0", "flash 0", "85%", "erase 512", "flash 512", "100%", "finish"}},
    {"EEPROM only: no erase",
     "RV-390PKTA",
     {},
     pattern(1100, 2),
     {},
     UpdateOutcome::sent,
     {"sending", "eep 0", "47%", "eep 512", "93%", "eep 1024", "100%", "finish"}},
    // 4096 bytes in all, so the halves are exact: 12.5 gives 12, 37.5 gives 38.
    {"both, EEPROM addresses from 0, halves rounded to even",
     "RV-390PKTA",
     pattern(512, 3),
     pattern(3584, 4),
     {},
     UpdateOutcome::sent,
     {"sending", "erase 0", "flash 0", "12%", "eep 0", "25%", "eep 512", "38%", "eep 1024", "50%", "eep 1536",
      "62%", "eep 2048", "75%", "eep 2560", "88%", "eep 3072", "100%", "finish"}},
    {"a refused write stops the update unfinished",
     "RV-390PKTA",
     pattern(1500, 5),
     pattern(10, 6),
     3,
     UpdateOutcome::block_failed,
     {"sending", "erase 0", "flash 0", "34%", "erase 512", "flash 512"}},
    {"a refused erase is not looked at",
     "RV-390PKTA",
     pattern(10, 7),
     {},
     0,
     UpdateOutcome::sent,
     {"sending", "erase 0", "flash 0", "100%", "finish"}},
    {"another model's file sends nothing", "RV-999", pattern(100, 8), {}, {}, UpdateOutcome::wrong_file, {}},
};

// Names the case in the test list instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.what;
}

uint16_t word_at(const std::vector<uint8_t>& p, std::size_t at) {
    return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}

// The block at `address` of `image` as sent: 512 bytes, padded with 0xFF.
std::vector<uint8_t> block_of(const std::vector<uint8_t>& image, std::size_t address) {
    std::vector<uint8_t> b(512, 0xFF);
    for (std::size_t i = 0; i < 512 && address + i < image.size(); ++i)
        b[i] = image[address + i];
    return b;
}

// Runs the routine against a unit that records every request and answers true, or false to one.
class RecordingUnit : public ::testing::Test {
protected:
    QString write(const std::vector<uint8_t>& bytes) {
        QString path = dir.filePath(QStringLiteral("update.voku"));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        return path;
    }
    UpdateResult run(const QString& file, std::optional<std::size_t> refused = {}) {
        UpdateSteps steps;
        steps.sending = [this] { trace.push_back("sending"); };
        steps.progress = [this](int percent) { trace.push_back(std::to_string(percent) + "%"); };
        const auto send = [this, refused](const Request& r) {
            record(r);
            return !refused || requests.size() - 1 != *refused;
        };
        return run_update(file, QStringLiteral("RV-390PKTA(boot)"), steps, send,
                          [this](const Request& r) { record(r); });
    }
    void record(const Request& r) {
        requests.push_back(r);
        switch (r.cmd) {
        case cmd_erase:
            ASSERT_EQ(r.data.size(), 2u);
            trace.push_back("erase " + std::to_string(word_at(r.data, 0)));
            break;
        case cmd_write_flash:
        case cmd_write_eep:
            ASSERT_EQ(r.data.size(), 516u);
            EXPECT_EQ(word_at(r.data, 2), 512); // the length is always a full block
            trace.push_back((r.cmd == cmd_write_flash ? "flash " : "eep ") +
                            std::to_string(word_at(r.data, 0)));
            break;
        case cmd_finish:
            EXPECT_TRUE(r.data.empty());
            trace.push_back("finish");
            break;
        default:
            ADD_FAILURE() << "unexpected command " << int(r.cmd);
        }
    }

    QTemporaryDir dir;
    std::vector<Request> requests;
    std::vector<std::string> trace;
};

class UpdateRoutine : public RecordingUnit, public ::testing::WithParamInterface<Case> {};
using UpdateRoutineFile = RecordingUnit;

} // namespace

TEST_P(UpdateRoutine, SendsTheImagesBlockByBlockWithProgressThenTheFinish) {
    const Case& c = GetParam();
    const UpdateResult result = run(write(make_update_file({c.name, 1, 4, c.flash, c.eeprom})), c.refused);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.header.name, QByteArray::fromStdString(c.name));
    EXPECT_EQ(trace, c.trace);
    // Every block's data is its image's bytes at its address, padded.
    for (const Request& r : requests) {
        if (r.cmd == cmd_write_flash || r.cmd == cmd_write_eep) {
            EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 4, r.data.end()),
                      block_of(r.cmd == cmd_write_flash ? c.flash : c.eeprom, word_at(r.data, 0)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, UpdateRoutine, ::testing::ValuesIn(cases), [](const auto& info) {
    std::string name;
    for (const char ch : std::string(info.param.what))
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

TEST_F(UpdateRoutineFile, AFileThatCannotBeReadSendsNothingAndSaysWhy) {
    auto bytes = make_update_file({"RV-390PKTA", 1, 4, pattern(700, 1), {}});
    bytes.resize(bytes.size() - 100); // a download cut short
    const UpdateResult result = run(write(bytes));
    EXPECT_EQ(result.outcome, UpdateOutcome::unreadable_file);
    EXPECT_TRUE(result.error.contains(QStringLiteral("update.voku"))) << result.error.toStdString();
    EXPECT_TRUE(trace.empty());

    EXPECT_EQ(run(dir.filePath(QStringLiteral("missing.voku"))).outcome, UpdateOutcome::unreadable_file);
    EXPECT_TRUE(trace.empty());
}
