// The update file reader: header, name rule and image build over files made byte by byte here.
#include "update/update_file.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace std::string_literals;
using namespace Qt::StringLiterals;

namespace {

// L, the header text and, unless told otherwise, its zero byte.
QByteArray header(const std::string& text, bool zero = true) {
    const auto length = static_cast<int>(2 + text.size() + (zero ? 1 : 0));
    QByteArray b;
    b.append(char(length >> 8)).append(char(length & 0xFF)).append(text.data(), qsizetype(text.size()));
    return zero ? b.append('\0') : b;
}

// N, four bytes the reader ignores (filled with junk), T, the data and, unless cut, two trailing bytes.
QByteArray record(int n, uint8_t type, const QByteArray& data, bool trailer = true) {
    QByteArray b;
    b.append(char(n >> 8))
        .append(char(n & 0xFF))
        .append("\x12\x34\x56\x78", 4)
        .append(char(type))
        .append(data);
    return trailer ? b.append("\xEE\xEE", 2) : b;
}

UpdateFile file(const QByteArray& bytes) {
    return {QStringLiteral("t.voku"), bytes};
}

// The message of the UpdateFileError that `step` throws.
std::string error_of(const std::function<void()>& step) {
    try {
        step();
    } catch (const UpdateFileError& e) {
        return e.what();
    }
    return "(no error)";
}

std::string header_error(const QByteArray& bytes) {
    return error_of([&] { read_header(file(bytes)); });
}

std::string build_error(const QByteArray& bytes) {
    return error_of([&] { build_images(file(bytes), read_header(file(bytes)).area); });
}

UpdateImages build(const QByteArray& bytes) {
    return build_images(file(bytes), read_header(file(bytes)).area);
}

} // namespace

TEST(UpdateFileHeader, TheWorkedExampleReadsWhole) {
    const QByteArray f = QByteArray::fromHex("0016"
                                             "4E414D453D58312656455253494F4E3D312E3200"
                                             "00030000000000AABBCC0000"
                                             "000200000000021122"
                                             "0000"
                                             "00000000000001"
                                             "0000");
    ASSERT_EQ(f.size(), 54);
    const UpdateHeader h = read_header(file(f));
    EXPECT_EQ(h.inf.name, "X1");
    EXPECT_EQ(h.inf.version[0], 1);
    EXPECT_EQ(h.inf.version[1], 2);
    EXPECT_TRUE(h.inf.date.isEmpty());
    EXPECT_EQ(h.area, 22);
    EXPECT_TRUE(name_rule_accepts(h.inf, QStringLiteral("X1(boot)")));
    const UpdateImages images = build_images(file(f), h.area);
    EXPECT_EQ(images.flash, QByteArray::fromHex("AABBCC"));
    EXPECT_EQ(images.eeprom, QByteArray::fromHex("1122"));
}

TEST(UpdateFileHeader, KeysAreFoundAnywhereInTheTextUpToItsZeroByte) {
    struct Case {
        std::string text;
        const char* name;
        int major, minor;
    };
    for (const Case& c : {
             Case{"NAME=RV-390PKTA&VERSION=1.4", "RV-390PKTA", 1, 4},
             Case{"xVERSION=2-7;NAME=AB&C&", "AB", 2, 7}, // the name ends at the first "&"
             Case{"", "", 0, 0},
             Case{"NAME=&VERSION=12&", "", 1, 0}, // not a digit two places after the major
             Case{"VERSION=a.3", "", 0, 3}, Case{"VERSION=9", "", 9, 0},
             Case{"VERSION=1.2\0NAME=X&"s, "", 1, 2}, // nothing after the zero byte is text
         }) {
        const Tinf inf = read_header(file(header(c.text))).inf;
        EXPECT_EQ(inf.name, c.name) << c.text;
        EXPECT_EQ(inf.version[0], c.major) << c.text;
        EXPECT_EQ(inf.version[1], c.minor) << c.text;
    }
}

TEST(UpdateFileHeader, AMissingOrEarlyAmpersandFailsTheRead) {
    EXPECT_EQ(
        header_error(header("VER&NAME=X&")),
        "Ошибка в файле обновления «t.voku»: первый знак «&» (смещение 5) стоит раньше имени после NAME= "
        "(смещение 6).");
    EXPECT_EQ(header_error(header("NAME=X")), "Ошибка в файле обновления «t.voku»: за ключом NAME= на "
                                              "смещении 2 нет знака «&», которым кончается имя.");
    EXPECT_NE(header_error(header("NAME=X\0&"s)), "(no error)"); // an "&" after the zero byte is not text
}

TEST(UpdateFileHeader, AHeaderWithoutZeroByteEndsWithTheHeader) {
    // The record area right behind starts with "&2": neither byte may be read as header text.
    const QByteArray area = record(0x2632, 1, "");
    EXPECT_NE(header_error(header("NAME=AB", false) + area).find("нет знака «&»"), std::string::npos);
    const UpdateHeader h = read_header(file(header("NAME=AB&VERSION=1", false) + area));
    EXPECT_EQ(h.inf.name, "AB");
    EXPECT_EQ(h.inf.version[0], 1);
    EXPECT_EQ(h.inf.version[1], 0);
    EXPECT_EQ(h.area, 19);
}

TEST(UpdateFileHeader, FilesTooShortForAHeaderTextFail) {
    EXPECT_EQ(header_error(""),
              "Ошибка в файле обновления «t.voku»: в нём 0 байт, а длина заголовка занимает первые два.");
    EXPECT_NE(header_error("\x00"_ba), "(no error)");
    for (int length : {0, 1, 2})
        EXPECT_EQ(header_error(QByteArray(1, 0) + char(length) + record(1, 0, "x")),
                  "Ошибка в файле обновления «t.voku»: длина заголовка " + std::to_string(length) +
                      " меньше 3: в заголовке нет текста.");
    EXPECT_EQ(read_header(file("\x00\x03\x00"_ba)).area, 3);
}

TEST(UpdateFileNameRule, TheUnitsNameLessItsFirstBootMarkMustEqualTheFileName) {
    struct Case {
        QByteArray name;
        const char* dev_name;
        bool accepted;
    };
    for (const Case& c : {Case{"X1", "X1(boot)", true}, Case{"X1", "X1", true}, Case{"X1", "(boot)X1", true},
                          Case{"X1", "X1 (boot)", false}, Case{"X1 ", "X1 (boot)", true}, // no trimming
                          Case{"X1(boot)", "X1(boot)(boot)", true},                       // only the first
                          Case{"x1", "X1(boot)", false}, Case{"X1", "X1(BOOT)", false},   // case matters
                          Case{"", "(boot)", true}, Case{"", "X1(boot)", false},
                          // 8-bit names are read as Latin-1, as the unit's strings are
                          Case{"Bloc-\xE9", "Bloc-\xC3\xA9(boot)", true}}) {
        Tinf inf;
        inf.name = c.name;
        EXPECT_EQ(name_rule_accepts(inf, QString::fromUtf8(c.dev_name)), c.accepted) << c.dev_name;
    }
}

TEST(UpdateFileImages, RecordsFillTheirImageInFileOrderAndOtherTypesAddNothing) {
    const UpdateImages i =
        build(header("NAME=X&") + record(2, 2, "e1") + record(3, 0, "f11") + record(0, 1, "") +
              record(4, 5, "skip") + record(1, 0, "2") + record(3, 2, "e22"));
    EXPECT_EQ(i.flash, "f112");
    EXPECT_EQ(i.eeprom, "e1e22");
    const UpdateImages none = build(header("") + record(0, 1, "") + record(9, 3, "123456789"));
    EXPECT_TRUE(none.flash.isEmpty() && none.eeprom.isEmpty());
}

TEST(UpdateFileImages, LengthsAbove255CountAs256) {
    const QByteArray data(256, 'd');
    for (int n : {256, 300, 0xFFFF}) {
        const UpdateImages i = build(header("") + record(n, 0, data) + record(1, 2, "z"));
        EXPECT_EQ(i.flash, data) << n;
        EXPECT_EQ(i.eeprom, "z") << n;
    }
}

TEST(UpdateFileImages, ALastRecordMayLackItsTrailingBytesOrOtherTypesTheirData) {
    EXPECT_EQ(build(header("") + record(2, 0, "ab", false)).flash, "ab");
    EXPECT_TRUE(build(header("") + record(2, 0, "ab") + record(200, 1, "", false)).eeprom.isEmpty());
}

TEST(UpdateFileImages, CutOffRecordsAreRefusedWithTheirOffset) {
    const QByteArray good = header("NAME=X1&") + record(3, 0, "abc"); // 11 + 12 bytes: the next at 23
    const std::string at = "Ошибка в файле обновления «t.voku»: запись на смещении 23 ";
    EXPECT_EQ(build_error(good + "\x00"_ba), at + "обрывается в поле длины.");
    EXPECT_EQ(build_error(good + record(1, 0, "x").left(6)), at + "обрывается до байта типа.");
    EXPECT_EQ(build_error(good + record(3, 0, "ab", false)),
              at + "выходит за конец файла: в ней 3 байта данных, а до конца файла 2 байта.");
    EXPECT_EQ(build_error(good + record(300, 2, QByteArray(255, 'e'), false)),
              at + "выходит за конец файла: в ней 256 байт данных, а до конца файла 255 байт.");
}

TEST(UpdateFileImages, ARecordAreaMustHoldOneTo65535Bytes) {
    EXPECT_EQ(build_error(header("NAME=X1&")),
              "Ошибка в файле обновления «t.voku»: после заголовка длиной 11 байт нет ни одной записи "
              "(размер файла 11 байт).");
    EXPECT_NE(build_error("\x00\x40NAME=X1&"_ba), "(no error)"); // shorter than its header

    // 247 full records of 265 bytes and one of 80 fill 65,535 bytes; one more byte is too many.
    QByteArray area;
    for (int r = 0; r < 247; ++r)
        area += record(256, 0, QByteArray(256, char(r)));
    const QByteArray f = header("") + area;
    EXPECT_EQ(build(f + record(71, 2, QByteArray(71, 'e'))).flash.size(), 247 * 256);
    EXPECT_EQ(build_error(f + record(72, 2, QByteArray(72, 'e'))),
              "Ошибка в файле обновления «t.voku»: записи со смещения 3 занимают больше 65535 байт.");
    // Offsets are 16-bit: a last record whose step passes 65,535 fails even in a shorter area.
    EXPECT_EQ(build_error(f + record(72, 2, QByteArray(72, 'e'), false)),
              "Ошибка в файле обновления «t.voku»: запись на смещении 65458 кончается дальше 65535 байт от "
              "начала записей (смещение 3).");
}

TEST(UpdateFileLoad, AFileThatCannotBeOpenedIsNamedWithTheReason) {
    EXPECT_EQ(error_of([] { load_update_file(QStringLiteral("/nonexistent/x.voku")); }),
              "Не удалось открыть файл обновления «/nonexistent/x.voku»: файл или папка не существует.");
}

TEST(UpdateFileLoad, LoadsTheBytesThatCanMatterOnly) {
    QTemporaryDir dir;
    const QString small = dir.filePath("small.voku"), huge = dir.filePath("huge.voku");
    const QByteArray f = header("NAME=X1&") + record(1, 0, "a");
    QFile out(small);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(f) == f.size());
    out.close();
    EXPECT_EQ(load_update_file(small).bytes, f);
    EXPECT_EQ(load_update_file(small).name, small);

    // A megabyte: only what the reader could ever use is held, and the build still refuses it.
    QFile big(huge);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.write(f + QByteArray(1 << 20, 0)) > 0);
    big.close();
    const UpdateFile loaded = load_update_file(huge);
    EXPECT_EQ(loaded.bytes.size(), update_file_read_limit);
    EXPECT_NE(error_of([&] { build_images(loaded, read_header(loaded).area); }).find("больше 65535 байт"),
              std::string::npos);
}
