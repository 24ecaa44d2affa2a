// rv390pkta-cli as a shell runs it, against two virtual units (and one it may not open) on one bus.
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/support/hostile_devices.h"
#include "tests/support/json_manual.h"
#include "tests/support/program.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace std::chrono_literals;

namespace {

using Output = ProgramOutput;

Output cli(const QStringList& arguments) {
    return run_program(QStringLiteral(RV390PKTA_CLI), arguments);
}

std::string shown(const Output& r) {
    return "status " + std::to_string(r.status) + "\nout:\n" + r.out.toStdString() + "err:\n" +
           r.err.toStdString();
}

// Each object the program printed, held against the shapes its manual page documents.
void expect_documented(const QJsonObject& o, std::initializer_list<const char*> shapes = {}) {
    static const JsonManual manual(QStringLiteral(RV390PKTA_MANUAL));
    ASSERT_TRUE(manual.read());
    const QStringList problems = shapes.size() == 0 ? manual.problems(o) : manual.problems(o, shapes);
    EXPECT_TRUE(problems.isEmpty()) << problems.join("; ").toStdString() << " in "
                                    << QJsonDocument(o).toJson().toStdString();
}

// JSON lines: every line an object the manual documents.
std::vector<QJsonObject> json_lines(const QString& out) {
    std::vector<QJsonObject> objects;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QJsonDocument d = QJsonDocument::fromJson(line.toUtf8());
        EXPECT_TRUE(d.isObject()) << "not a JSON object: " << line.toStdString();
        expect_documented(d.object());
        objects.push_back(d.object());
    }
    return objects;
}

void write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

// An update file whose firmware names `version` ("1.4") and whose header says `header_version`.
QByteArray update_file(const char* version, const char* header_version, std::size_t flash_bytes = 3000) {
    std::vector<uint8_t> flash(flash_bytes, 0x5A);
    name_firmware_version(flash, unsigned(version[0] - '0'), unsigned(version[2] - '0'));
    const auto bytes = make_update_file({"RV-390PKTA",
                                         unsigned(header_version[0] - '0'),
                                         unsigned(header_version[2] - '0'),
                                         flash,
                                         {1, 2, 3}});
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

QString backups_folder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("rv390pkta/backups"));
}

UnitOptions named(const char* serial) {
    UnitOptions o;
    o.serial = serial;
    o.restart_delay = 50ms;
    return o;
}

class TwoUnits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(first.plug() && second.plug() && locked.plug()); }
    static std::size_t writes(const VirtualUnit& unit) {
        std::size_t n = 0;
        for (const ReceivedCommand& c : unit.commands())
            n += c.code == cmd_set_par ? 1 : 0;
        return n;
    }
    VirtualUnit first{named("VU-0001")};
    VirtualUnit second{named("VU-0002")};
    VirtualUnit locked{[] {
        UnitOptions o = named("VU-LOCKED");
        o.locked = true;
        return o;
    }()};
    QTemporaryDir files;
};

TEST_F(TwoUnits, ListsAndShowsTheChosenUnitWithTheExitStatusOfEachChoice) {
    const Output list = cli({"list", "--json"});
    ASSERT_EQ(list.status, 0) << shown(list);
    const QJsonArray units = QJsonDocument::fromJson(list.out.toUtf8()).array();
    ASSERT_EQ(units.size(), 3) << shown(list);
    for (const QJsonValue& u : units)
        expect_documented(u.toObject(), {"unit"});
    EXPECT_EQ(units[0][QStringLiteral("serial")].toString(), QStringLiteral("VU-0001"));
    EXPECT_TRUE(units[1][QStringLiteral("can_open")].toBool());
    EXPECT_FALSE(units[2][QStringLiteral("can_open")].toBool());
    EXPECT_TRUE(units[2][QStringLiteral("why")].toString().contains(QStringLiteral("нет прав доступа")));

    second.set_settings({3, 2, 1, 0, 4, 8, 17, 1, 19, 2, 3, 0xF0, 0xE0, 7, 1, 1, 1});
    const Output show = cli({"show", "--unit", "VU-0002", "--json"});
    ASSERT_EQ(show.status, 0) << shown(show);
    const QJsonObject o = QJsonDocument::fromJson(show.out.toUtf8()).object();
    EXPECT_EQ(o[QStringLiteral("selector")].toInt(), 4);
    EXPECT_EQ(o[QStringLiteral("primary_group")].toInt(), 3);
    EXPECT_EQ(o[QStringLiteral("source1")].toString(), QStringLiteral("SDI 9"));
    EXPECT_EQ(o[QStringLiteral("source2")].toString(), QStringLiteral("SDI 5"));
    EXPECT_EQ(o[QStringLiteral("source3")].toString(), QStringLiteral("AES 1L"));
    EXPECT_EQ(o[QStringLiteral("source4")].toString(), QStringLiteral("ANALOG_R"));
    EXPECT_EQ(o[QStringLiteral("source6")].toString(), QStringLiteral("500Hz"));
    EXPECT_EQ(o[QStringLiteral("analog_gain")].toInt(), -16);
    EXPECT_EQ(o[QStringLiteral("scale")].toString(), QStringLiteral("dBFS"));
    EXPECT_EQ(o[QStringLiteral("indicators")].toString(), QStringLiteral("small"));
    EXPECT_EQ(o[QStringLiteral("agr")].toString(), QStringLiteral("on"));
    EXPECT_EQ(o[QStringLiteral("raw")].toString(),
              QStringLiteral("03 02 01 00 04 08 11 01 13 02 03 F0 E0 07 01 01 01"));
    expect_documented(o, {"settings"});
    EXPECT_EQ(first.command_count(), 0u) << "the unit not chosen was not asked";

    // JSON mode gives a failure as JSON too: in its unit's place with --all, or as the document.
    const Output all = cli({"show", "--all", "--json"});
    EXPECT_EQ(all.status, 4) << shown(all);
    const QJsonArray each = QJsonDocument::fromJson(all.out.toUtf8()).array();
    ASSERT_EQ(each.size(), 3) << shown(all);
    expect_documented(each[1].toObject(), {"settings"});
    const QJsonObject refused = each[2].toObject();
    expect_documented(refused, {"error"});
    EXPECT_EQ(refused[QStringLiteral("unit")].toString(), QStringLiteral("VU-LOCKED"));
    EXPECT_EQ(refused[QStringLiteral("error")].toString(), QStringLiteral("no_permission"));
    EXPECT_EQ(refused[QStringLiteral("exit_status")].toInt(), 4);
    for (const auto& [arguments, status] : {std::pair{QStringList{"show", "--json"}, 2},
                                            {QStringList{"show", "--unit", "VU-9", "--json"}, 3},
                                            {QStringList{"show", "--jobs", "0", "--all", "--json"}, 2}}) {
        const Output failed = cli(arguments);
        EXPECT_EQ(failed.status, status) << shown(failed);
        const std::vector<QJsonObject> only = json_lines(failed.out);
        ASSERT_EQ(only.size(), 1u) << shown(failed);
        EXPECT_EQ(only[0][QStringLiteral("exit_status")].toInt(), status);
        EXPECT_FALSE(only[0][QStringLiteral("message")].toString().isEmpty());
    }

    const struct {
        QStringList arguments;
        int status;
        const char* says;
    } choices[] = {
        {{"show"}, 2, "--unit или --all"},
        {{"show", "--unit", "VU-9"}, 3, "не найден"},
        {{"show", "--unit", "VU-LOCKED"}, 4, "нет прав доступа"},
        {{"show", "--all"}, 4, "Итого: блоков 3, выполнено 2, с ошибкой 1 (VU-LOCKED)"},
        {{"frob"}, 2, "неизвестная команда «frob»"},
        {{"show", "--unit", "VU-0001", "--all"}, 2, "исключают друг друга"},
        {{"save"}, 2, "нужен файл конфигурации"},
        {{"reset", "--json"}, 2, "не принимает параметр --json"},
        {{"update", "--restore", "--no-restore", "fw.voku"}, 2, "исключают друг друга"},
    };
    for (const auto& c : choices) {
        const Output r = cli(c.arguments);
        EXPECT_EQ(r.status, c.status) << shown(r);
        EXPECT_TRUE((r.out + r.err).contains(QString::fromUtf8(c.says))) << shown(r);
    }
}

TEST_F(TwoUnits, SetChecksEveryPairFirstThenWritesOneBlockAndReadsItBack) {
    locked.unplug();
    const struct {
        QStringList pairs;
        const char* says;
    } wrong[] = {
        {{"colour=red"}, "«colour»: неизвестный ключ"},
        {{"headroom=33"}, "headroom=33: допустимо: целое число от 0 до 32"},
        {{"scale=loud"}, "dB или dBFS"},
        {{"source1=SDI 17"}, "номер в списке от 1 до 20"},
        {{"primary_group=2", "secondary_group=2"}, "группы должны различаться"},
        {{"agr=on", "agr"}, "нужна пара КЛЮЧ=ЗНАЧЕНИЕ"},
        {{"selector=1", "selector=2"}, "указан дважды"},
    };
    for (const auto& w : wrong) {
        const Output r = cli(QStringList{"set", "--all"} + w.pairs);
        EXPECT_EQ(r.status, 2) << shown(r);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(w.says))) << shown(r);
    }
    // A name the unit's own groups do not have is known only once the unit is read.
    const Output other_group = cli({"set", "--unit", "VU-0001", "source1=SDI 16"});
    EXPECT_EQ(other_group.status, 2) << shown(other_group);
    // With --all a name that one unit's groups lack is found before any unit is written.
    second.set_settings({0, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 0, 0xEE, 10, 1, 2, 0});
    const Output one_cannot = cli({"set", "--all", "source1=SDI 1"});
    EXPECT_EQ(one_cannot.status, 2) << shown(one_cannot);
    EXPECT_TRUE(one_cannot.err.contains(QStringLiteral("VU-0002: source1=SDI 1"))) << shown(one_cannot);
    EXPECT_TRUE(one_cannot.err.contains(QStringLiteral("ничего не записано ни в один блок")))
        << shown(one_cannot);
    EXPECT_EQ(writes(first) + writes(second), 0u) << "nothing sent on any error";
    second.set_settings(to_bytes(default_par));

    // Groups first, then the sources by the new groups' names; the equal-groups rule moves a group on.
    const Output set = cli({"set", "--unit", "VU-0001", "primary_group=2", "source1=sdi8", "source5=SDI 6",
                            "source8=3", "headroom=20", "zero_db=-32", "analog_gain=16", "scale=dB",
                            "indicators=off", "agr=on", "selector=4"});
    ASSERT_EQ(set.status, 0) << shown(set);
    EXPECT_TRUE(set.err.contains(QStringLiteral("взята группа 3"))) << shown(set);
    const TparBytes want{3, 2, 1, 7, 1, 2, 3, 5, 5, 6, 2, 16, 0xE0, 20, 0, 0, 1};
    EXPECT_EQ(first.settings(), want);
    EXPECT_EQ(writes(first), 1u) << "one block";

    // A unit that does not take the block is told, by field, and --all goes on past it.
    UnitFaults keep;
    keep.keep_settings = true;
    first.set_faults(keep);
    const Output refused = cli({"set", "--all", "headroom=3"});
    EXPECT_EQ(refused.status, 1) << shown(refused);
    EXPECT_TRUE(
        refused.err.contains(QStringLiteral("VU-0001: блок не принял настройки: headroom: записано 3, "
                                            "блок хранит 20")))
        << shown(refused);
    EXPECT_TRUE(refused.out.contains(QStringLiteral("выполнено 1, с ошибкой 1 (VU-0001)"))) << shown(refused);
    EXPECT_EQ(second.settings()[13], 3);
}

TEST_F(TwoUnits, SavesLoadsOntoEveryUnitAndResets) {
    locked.unplug();
    first.set_settings({1, 3, 0, 9, 9, 9, 9, 9, 9, 9, 9, 0xF0, 0xF0, 5, 1, 0, 1});
    const QString file = files.filePath(QStringLiteral("studio"));
    const Output save = cli({"save", "--unit", "VU-0001", file});
    ASSERT_EQ(save.status, 0) << shown(save);
    const Output load = cli({"--all", "load", file + QStringLiteral(".cfg")});
    ASSERT_EQ(load.status, 0) << shown(load);
    EXPECT_EQ(second.settings(), first.settings());

    // A short file changes only its own bytes; a file that cannot be read changes nothing.
    QFile short_file(files.filePath(QStringLiteral("short.cfg")));
    ASSERT_TRUE(short_file.open(QIODevice::WriteOnly));
    short_file.write("\x02", 1);
    short_file.close();
    ASSERT_EQ(cli({"load", "--unit", "VU-0002", short_file.fileName()}).status, 0);
    EXPECT_EQ(second.settings()[0], 2);
    EXPECT_EQ(second.settings()[13], 5);
    // A file that cannot be a block is refused whole, before any unit hears of it; one longer than a
    // block loads its first 17 bytes and says so; one that changes nothing is said to.
    const auto block_with = [](int offset, char value) {
        QByteArray block(reinterpret_cast<const char*>(to_bytes(default_par).data()), 17);
        block[offset] = value;
        return block;
    };
    const struct {
        QByteArray content;
        int status;
        const char* says;
    } files_of[] = {
        {{}, 1, "файл пуст"},
        {block_with(15, 7), 1, "байт 15 (indicators) равен 7, допустимо от 0 до 2"},
        {block_with(11, 100), 1, "байт 11 (analog_gain) равен 100"},
        {block_with(0, 7), 1, "байт 0 (selector) равен 7"},
        {block_with(2, 0), 1, "группы должны различаться"},
        {block_with(13, 12) + block_with(13, 12), 0, "взяты первые 17"},
        {block_with(13, 12), 0, "настройки блока уже такие, ничего не записано"},
    };
    for (const auto& f : files_of) {
        const std::size_t before = writes(second);
        ASSERT_TRUE(short_file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        short_file.write(f.content);
        short_file.close();
        const Output r = cli({"load", "--unit", "VU-0002", short_file.fileName()});
        EXPECT_EQ(r.status, f.status) << shown(r);
        EXPECT_TRUE((r.out + r.err).contains(QString::fromUtf8(f.says))) << shown(r);
        EXPECT_EQ(writes(second) - before, f.status == 0 && f.content.size() > 17 ? 1u : 0u) << shown(r);
    }
    EXPECT_EQ(second.settings()[13], 12);
    EXPECT_EQ(cli({"load", "--all", "/dev/null"}).status, 1);
    // The command line takes ".CFG" as the extension it is.
    ASSERT_EQ(cli({"save", "--unit", "VU-0002", files.filePath(QStringLiteral("y.CFG"))}).status, 0);
    EXPECT_TRUE(QFile::exists(files.filePath(QStringLiteral("y.CFG"))));
    const Output missing = cli({"load", "--all", files.filePath(QStringLiteral("none.cfg"))});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("none.cfg"))) << shown(missing);

    const Output reset = cli({"reset", "--all", "--yes"});
    ASSERT_EQ(reset.status, 0) << shown(reset);
    EXPECT_EQ(first.settings(), to_bytes(default_par));
    EXPECT_EQ(second.settings(), to_bytes(default_par));
}

TEST_F(TwoUnits, UpdatesWithProgressSavesTheSettingsAndRestoresThem) {
    locked.unplug();
    const QString fw = files.filePath(QStringLiteral("fw.voku"));
    write_file(fw, update_file("1.4", "1.4"));

    // Beside the running window reading works, and the update is refused: two writers would interleave.
    {
        // It writes its library file into its working folder.
        RunningProgram window(QStringLiteral(RV390PKTA_WINDOW), {"-platform", "offscreen"}, files.path());
        ASSERT_TRUE(first.wait_for_commands(1, 20s)) << "the window polls the first unit";
        const Output beside = cli({"show", "--unit", "VU-0001"});
        EXPECT_EQ(beside.status, 0) << shown(beside);
        // A settings write is one report: it cannot interleave with the window's, and is allowed.
        const Output set = cli({"set", "--unit", "VU-0001", "headroom=11"});
        EXPECT_EQ(set.status, 0) << shown(set);
        const Output refused = cli({"update", "--unit", "VU-0002", "--yes", fw});
        EXPECT_EQ(refused.status, 1) << shown(refused);
        EXPECT_TRUE(refused.err.contains(QStringLiteral("окно программы rv390pkta запущено")))
            << shown(refused);
    }
    const std::size_t first_commands = first.command_count();

    const TparBytes before{2, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 0xF8, 0xEE, 12, 1, 2, 0};
    second.set_settings(before);
    // The new firmware starts from its defaults.
    second.unplug();
    second.on_event = [&](const UnitEvent& e) {
        if (e.kind == UnitEvent::Kind::restart && e.line.find("boot") != std::string::npos)
            second.set_settings(to_bytes(default_par));
    };
    ASSERT_TRUE(second.plug());
    const Output update = cli({"update", "--unit", "VU-0002", "--yes", "--restore", fw});
    ASSERT_EQ(update.status, 0) << shown(update);
    for (const char* step :
         {"Файл обновления: RV-390PKTA, версия 1.4", "Настройки сохранены: ", "VU-0002: запись: 100 %",
          "Обновление завершено успешно!", "блок работает, версия ПО 1.4", "Настройки восстановлены"})
        EXPECT_TRUE(update.out.contains(QString::fromUtf8(step))) << step << '\n' << shown(update);
    EXPECT_GT(update.out.count(QStringLiteral("VU-0002: запись: ")), 3) << "plain progress lines";
    EXPECT_EQ(second.flash()[2999], 0x5A);
    EXPECT_EQ(second.settings(), before);
    const QString backups = backups_folder();
    EXPECT_EQ(QDir(backups).entryList({"VU-0002-*.cfg"}).size(), 1) << backups.toStdString();
    EXPECT_EQ(first.command_count(), first_commands) << "the other unit heard nothing of the update";

    // Another model's file, and a unit whose writes fail: told, status 1, and --all goes on.
    UnitFaults refuse;
    refuse.refuse_writes = true;
    first.set_faults(refuse);
    const Output failing = cli({"update", "--all", "--yes", "--no-restore", fw});
    EXPECT_EQ(failing.status, 1) << shown(failing);
    EXPECT_TRUE(failing.err.contains(QStringLiteral("VU-0001: Ошибка"))) << shown(failing);
    EXPECT_TRUE(failing.out.contains(QStringLiteral("выполнено 1, с ошибкой 1 (VU-0001)"))) << shown(failing);
    // The units at once: each line names its unit.
    for (const QString& line : failing.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^(VU-000[12]: |Файл обновления: |Итого: )"))
                        .match(line)
                        .hasMatch())
            << line.toStdString();
    // The hint names the backup just written, not a placeholder.
    const QStringList saved = QDir(backups).entryList({"VU-0002-*.cfg"}, QDir::Files, QDir::Name);
    ASSERT_EQ(saved.size(), 2);
    EXPECT_TRUE(failing.out.contains(QStringLiteral("load ") + QDir(backups).filePath(saved.last())))
        << shown(failing);
    // As JSON lines: the progress, the end of the good update, and the failure as an error object.
    const Output failing_json = cli({"update", "--all", "--yes", "--no-restore", "--json", fw});
    EXPECT_EQ(failing_json.status, 1) << shown(failing_json);
    std::map<QString, QString> last_event; // by unit
    for (const QJsonObject& o : json_lines(failing_json.out))
        last_event[o[o.contains(QStringLiteral("error")) ? QStringLiteral("unit") : QStringLiteral("serial")]
                       .toString()] =
            o[QStringLiteral("event")].toString() + o[QStringLiteral("error")].toString();
    EXPECT_EQ(last_event[QStringLiteral("VU-0001")], QStringLiteral("failed")) << shown(failing_json);
    EXPECT_EQ(last_event[QStringLiteral("VU-0002")], QStringLiteral("updated")) << shown(failing_json);
    first.set_faults({});

    // A unit that comes back with other firmware than the header names is no success.
    write_file(fw, update_file("1.4", "1.5"));
    const Output other_version = cli({"update", "--unit", "VU-0002", "--yes", "--no-restore", fw});
    EXPECT_EQ(other_version.status, 1) << shown(other_version);
    EXPECT_TRUE(other_version.err.contains(QStringLiteral("сообщает версию ПО 1.4, а в файле 1.5")))
        << shown(other_version);
    const auto other = make_update_file({"RV-999", 1, 0, {1}, {}});
    write_file(fw,
               QByteArray(reinterpret_cast<const char*>(other.data()), static_cast<qsizetype>(other.size())));
    const Output wrong = cli({"update", "--unit", "VU-0002", "--yes", fw});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(wrong.err.contains(QStringLiteral("Неверный файл!"))) << shown(wrong);
}

TEST_F(TwoUnits, AFileCutShortTouchesNoUnitAndASignalEndsTheUpdateBetweenBlocksOutOfTheBootLoader) {
    locked.unplug();
    const QString fw = files.filePath(QStringLiteral("fw.voku"));
    const QByteArray whole = update_file("1.4", "1.4");
    for (const qsizetype cut : {whole.size() / 2, qsizetype(20), whole.size() - 30}) {
        write_file(fw, whole.left(cut));
        const Output r = cli({"update", "--all", "--yes", fw});
        EXPECT_EQ(r.status, 1) << shown(r);
        EXPECT_TRUE(r.err.contains(QStringLiteral("Ошибка в файле обновления"))) << shown(r);
    }
    EXPECT_EQ(first.command_count() + second.command_count(), 0u) << "no unit was touched";
    EXPECT_TRUE(QDir(backups_folder()).entryList({"*.cfg"}).isEmpty()) << "nor a backup taken";

    // The signal comes while the first block is on its way; a second process tries the same unit then.
    write_file(fw, update_file("1.4", "1.4", 20000));
    std::atomic<pid_t> updating{-1};
    std::mutex m;
    std::optional<Output> rival;
    second.unplug();
    second.on_event = [&](const UnitEvent& e) {
        std::lock_guard lock(m);
        if (e.kind != UnitEvent::Kind::note || e.line.rfind("wrote", 0) != 0 || rival)
            return;
        rival = cli({"update", "--unit", "VU-0002", "--yes", fw});
        ::kill(updating, SIGTERM);
    };
    ASSERT_TRUE(second.plug());
    RunningProgram update(QStringLiteral(RV390PKTA_CLI), {"update", "--unit", "VU-0002", "--yes", fw});
    updating = update.pid();
    const Output end = update.finish();
    EXPECT_EQ(end.status, 143) << shown(end);
    EXPECT_TRUE(end.err.contains(QStringLiteral("прервано (SIGTERM) после записи 1 из 41 блоков")))
        << shown(end);
    EXPECT_TRUE(end.err.contains(QStringLiteral("блок вернулся в обычный режим"))) << shown(end);
    EXPECT_EQ(second.mode(), UnitMode::normal);
    for (const ReceivedCommand& c : second.commands())
        EXPECT_NE(c.code, cmd_finish);
    std::lock_guard lock(m);
    ASSERT_TRUE(rival.has_value());
    EXPECT_EQ(rival->status, 1) << shown(*rival);
    EXPECT_TRUE(rival->err.contains(QStringLiteral("уже обновляет другой процесс"))) << shown(*rival);
}

} // namespace

TEST_F(TwoUnits, MonitorFollowsEveryUnitInOneStreamUntilInterrupted) {
    RunningProgram monitor(QStringLiteral(RV390PKTA_CLI), {"monitor", "--all", "--json"});
    // The next line about `serial`; the other units' lines are held against the manual too.
    const auto next_of = [&](const char* serial) {
        while (const std::optional<QByteArray> line = monitor.read_line(10s)) {
            const std::vector<QJsonObject> o = json_lines(QString::fromUtf8(*line));
            if (!o.empty() && o[0][o[0].contains(QStringLiteral("error")) ? QStringLiteral("unit")
                                                                          : QStringLiteral("serial")]
                                      .toString() == QLatin1String(serial))
                return o[0];
        }
        return QJsonObject();
    };
    EXPECT_EQ(next_of("VU-0002")[QStringLiteral("event")].toString(), QStringLiteral("connected"));
    EXPECT_EQ(next_of("VU-0002")[QStringLiteral("headroom")].toInt(), 10);
    TparBytes changed = to_bytes(default_par);
    changed[13] = 31;
    second.set_settings(changed); // as if changed at the unit itself
    const QJsonObject seen = next_of("VU-0002");
    EXPECT_EQ(seen[QStringLiteral("headroom")].toInt(), 31);
    // Local time with its offset, so lines from several places compare.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)$"))
                    .match(seen[QStringLiteral("time")].toString())
                    .hasMatch())
        << seen[QStringLiteral("time")].toString().toStdString();
    second.unplug();
    EXPECT_EQ(next_of("VU-0002")[QStringLiteral("event")].toString(), QStringLiteral("disconnected"));
    ASSERT_TRUE(second.plug());
    EXPECT_EQ(next_of("VU-0002")[QStringLiteral("event")].toString(), QStringLiteral("connected"));
    // Into the boot loader and out again: a line each, whether or not a poll saw the restart between.
    for (const auto& [mode, event] :
         {std::pair{UnitMode::boot, "boot_loader"}, {UnitMode::normal, "normal"}}) {
        second.restart(mode);
        QString seen_event;
        for (int i = 0; i < 4 && seen_event != QLatin1String(event); ++i)
            seen_event = next_of("VU-0002")[QStringLiteral("event")].toString();
        EXPECT_EQ(seen_event, QLatin1String(event));
    }
    // A unit plugged in meanwhile joins the stream.
    VirtualUnit third{named("VU-0003")};
    ASSERT_TRUE(third.plug());
    EXPECT_EQ(next_of("VU-0003")[QStringLiteral("event")].toString(), QStringLiteral("connected"));
    EXPECT_EQ(next_of("VU-0003")[QStringLiteral("event")].toString(), QStringLiteral("settings"));
    monitor.signal(SIGTERM); // as Ctrl+C's SIGINT: a clean end
    const Output end = monitor.finish();
    EXPECT_EQ(end.status, 4) << "the unit it may not open\n" << shown(end);
    for (const QJsonObject& o : json_lines(end.out))
        EXPECT_NE(o[QStringLiteral("event")].toString() + o[QStringLiteral("serial")].toString(),
                  QStringLiteral("settingsVU-0002"))
            << "an unchanged block is not printed again";
}

TEST(OddUnits, StringsFromADeviceAreEscapedAndSpoiltRepliesAreToldAsSuch) {
    // A device that claims to be a unit with a serial forging a line and driving the terminal.
    VirtualHidDevice liar("liar", hostile_devices()[5].info);
    ASSERT_TRUE(liar.plug()) << liar.error();
    UnitOptions o = named("VU-CRC");
    o.faults.corrupt_crc = true;
    VirtualUnit spoilt(o);
    ASSERT_TRUE(spoilt.plug());

    const Output list = cli({"list"});
    ASSERT_EQ(list.status, 0) << shown(list);
    EXPECT_FALSE((list.out + list.err).contains(QChar(0x1B))) << shown(list);
    EXPECT_FALSE(list.out.contains(QStringLiteral("\nVU-FAKE"))) << shown(list);
    EXPECT_TRUE(list.out.contains(QStringLiteral("L6\\x0aVU-FAKE"))) << shown(list);
    EXPECT_EQ(list.out.count(QLatin1Char('\n')), 3) << "a header and one line a unit";

    // A serial with a blank stays one column, and --unit takes it as shown.
    VirtualUnit spaced(named("VU 3"));
    ASSERT_TRUE(spaced.plug());
    const Output bare = cli({"list", "--no-header"});
    EXPECT_TRUE(bare.out.startsWith(QStringLiteral("L6"))) << shown(bare);
    EXPECT_TRUE(bare.out.contains(QStringLiteral("\nVU\\x203 "))) << shown(bare);
    EXPECT_EQ(cli({"show", "--unit", "VU\\x203"}).status, 0);

    const Output show = cli({"show", "--unit", "VU-CRC"});
    EXPECT_EQ(show.status, 1) << shown(show);
    EXPECT_TRUE(show.err.contains(QStringLiteral("контрольная сумма"))) << shown(show);
}

TEST_F(TwoUnits, ASettingsDocumentIsCheckedAppliedOnlyWhereItDiffersAndRefusedWhenWrong) {
    QTemporaryDir dir;
    const QString doc = dir.filePath("studio.json");
    // The first unit's settings as show prints them, headroom changed: the golden file.
    const Output shown_first = cli({"show", "--unit", "VU-0001", "--json"});
    QJsonObject golden = QJsonDocument::fromJson(shown_first.out.toUtf8()).object();
    EXPECT_EQ(golden[QStringLiteral("schema_version")].toInt(), 1);
    golden[QStringLiteral("headroom")] = 25;
    write_file(doc, QJsonDocument(golden).toJson());

    const Output differs = cli({"check", "--unit", "VU-0002", "--json", doc});
    EXPECT_EQ(differs.status, 1) << shown(differs);
    const QJsonObject d = QJsonDocument::fromJson(differs.out.toUtf8()).object();
    EXPECT_FALSE(d[QStringLiteral("match")].toBool());
    expect_documented(d, {"check"});
    ASSERT_EQ(d[QStringLiteral("differences")].toArray().size(), 1) << shown(differs);
    EXPECT_EQ(d[QStringLiteral("differences")].toArray()[0].toObject()[QStringLiteral("key")].toString(),
              QStringLiteral("headroom"));

    const Output would = cli({"apply", "--unit", "VU-0002", "--check", doc});
    EXPECT_EQ(would.status, 0) << shown(would);
    EXPECT_EQ(writes(second), 0u);              // --check sends nothing
    for (const bool expected : {true, false}) { // the second run finds nothing to change
        const Output applied = cli({"apply", "--unit", "VU-0002", "--json", "--diff", doc});
        EXPECT_EQ(applied.status, 0) << shown(applied);
        const QJsonObject result = QJsonDocument::fromJson(applied.out.toUtf8()).object();
        EXPECT_EQ(result[QStringLiteral("changed")].toBool(), expected) << shown(applied);
        expect_documented(result, {"apply"});
    }
    EXPECT_EQ(second.settings()[13], 25);
    EXPECT_EQ(cli({"check", "--unit", "VU-0002", doc}).status, 0);

    // A wrong document: nothing sent, the reason named.
    const std::size_t before = writes(second);
    for (const auto& [key, value] : {std::pair{"schema_version", QJsonValue(2)},
                                     {"headroom", QJsonValue(99)},
                                     {"loudness", QJsonValue(1)}}) {
        QJsonObject wrong = golden;
        wrong[QLatin1String(key)] = value;
        write_file(doc, QJsonDocument(wrong).toJson());
        const Output refused = cli({"apply", "--unit", "VU-0002", doc});
        EXPECT_EQ(refused.status, 1) << shown(refused);
        EXPECT_TRUE(refused.err.contains(QLatin1String(key))) << shown(refused);
    }
    EXPECT_EQ(writes(second), before);
}
