// Update file reader: the header read, the name rule and the image build, with every limit checked.
#include "update/update_file.h"

#include "core/file_reason.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <string_view>

namespace {

constexpr std::string_view name_key = "NAME=";
constexpr std::string_view version_key = "VERSION=";
constexpr int max_record_data = 256;
// N (2), four bytes not interpreted, T (1) ahead of the data; two bytes not interpreted after it.
constexpr int record_head = 7;
constexpr int record_tail = 2;
constexpr uint8_t type_flash = 0;
constexpr uint8_t type_eeprom = 2;
constexpr int max_area = 0xFFFF; // record offsets are 16-bit

// "N байт" with the noun in the form Russian wants after N.
QString bytes(qint64 n) {
    const qint64 last = n % 10, last_two = n % 100;
    const bool few = last >= 2 && last <= 4 && !(last_two >= 12 && last_two <= 14);
    return QString::number(n) + (few ? QStringLiteral(" байта") : QStringLiteral(" байт"));
}

[[noreturn]] void fail(const UpdateFile& file, const QString& what) {
    throw UpdateFileError(
        QStringLiteral("Ошибка в файле обновления «%1»: %2.").arg(file.name, what).toStdString());
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

UpdateFile load_update_file(const QString& path) {
    UpdateFile file{QDir::toNativeSeparators(path), {}};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw UpdateFileError(QStringLiteral("Не удалось открыть файл обновления «%1»: %2.")
                                  .arg(file.name, file_reason(f))
                                  .toStdString());
    file.bytes = f.read(update_file_read_limit);
    if (f.error() != QFileDevice::NoError)
        throw UpdateFileError(QStringLiteral("Не удалось прочитать файл обновления «%1»: %2.")
                                  .arg(file.name, file_reason(f))
                                  .toStdString());
    return file;
}

UpdateHeader read_header(const UpdateFile& file) {
    const QByteArray& b = file.bytes;
    if (b.size() < 2)
        fail(file, QStringLiteral("в нём %1, а длина заголовка занимает первые два").arg(bytes(b.size())));
    UpdateHeader h;
    h.area = static_cast<uint16_t>(static_cast<uint8_t>(b[0]) << 8 | static_cast<uint8_t>(b[1]));
    if (h.area < 3)
        fail(file, QStringLiteral("длина заголовка %1 меньше 3: в заголовке нет текста").arg(h.area));

    // Header bytes missing from a short file count as zero, so the text ends where the file does; a
    // header without a zero byte ends with the header, so the record area is never read as text.
    const std::string_view header(b.constData() + 2,
                                  static_cast<std::size_t>(std::min<qsizetype>(h.area, b.size()) - 2));
    const std::string_view text = header.substr(0, header.find('\0'));
    const auto offset = [](std::size_t in_header) { return QString::number(in_header + 2); };

    if (const std::size_t key = text.find(name_key); key != std::string_view::npos) {
        // The name ends at the first "&" of the whole text, wherever it stands.
        const std::size_t value = key + name_key.size();
        const std::size_t end = text.find('&');
        if (end == std::string_view::npos)
            fail(file, QStringLiteral("за ключом NAME= на смещении %1 нет знака «&», которым кончается имя")
                           .arg(offset(key)));
        if (end < value)
            fail(file,
                 QStringLiteral("первый знак «&» (смещение %1) стоит раньше имени после NAME= (смещение %2)")
                     .arg(offset(end), offset(key)));
        h.inf.name = QByteArray(text.data() + value, static_cast<qsizetype>(end - value));
    }

    if (const std::size_t key = text.find(version_key); key != std::string_view::npos) {
        // Major digit, one separator, minor digit; the digits are looked for in the header, not only
        // in its text.
        const std::size_t major = key + version_key.size();
        for (std::size_t i = 0; i < 2; ++i) {
            const std::size_t at = major + 2 * i;
            if (at < header.size() && is_digit(header[at]))
                h.inf.version[i] = static_cast<uint8_t>(header[at] - '0');
        }
    }
    return h;
}

bool name_rule_accepts(const Tinf& inf, const QString& dev_name) {
    QString unit = dev_name;
    const QString boot = QStringLiteral("(boot)");
    if (const qsizetype at = unit.indexOf(boot, 0, Qt::CaseSensitive); at >= 0)
        unit.remove(at, boot.size());
    return unit == QString::fromLatin1(inf.name); // the same 8-bit decoding as the unit's strings
}

UpdateImages build_images(const UpdateFile& file, uint16_t area) {
    const QByteArray& b = file.bytes;
    const qsizetype length = b.size() > area ? b.size() - area : 0;
    if (length == 0)
        fail(file, QStringLiteral("после заголовка длиной %1 нет ни одной записи (размер файла %2)")
                       .arg(bytes(area), bytes(b.size())));
    if (length > max_area)
        fail(file, QStringLiteral("записи со смещения %1 занимают больше %2").arg(area).arg(bytes(max_area)));

    const auto* a = reinterpret_cast<const uint8_t*>(b.constData()) + area;
    UpdateImages images;
    uint16_t f = 0;
    while (f < length) {
        const QString at = QString::number(area + f); // messages give file offsets
        if (f + 2 > length)
            fail(file, QStringLiteral("запись на смещении %1 обрывается в поле длины").arg(at));
        const int n = std::min(a[f] << 8 | a[f + 1], max_record_data);
        if (f + record_head > length)
            fail(file, QStringLiteral("запись на смещении %1 обрывается до байта типа").arg(at));
        const uint8_t type = a[f + record_head - 1];
        if (type == type_flash || type == type_eeprom) {
            // A cut-off download is refused whole, never flashed halfway.
            const qsizetype left = length - f - record_head;
            if (n > left)
                fail(file,
                     QStringLiteral("запись на смещении %1 выходит за конец файла: в ней %2 данных, а до "
                                    "конца файла %3")
                         .arg(at, bytes(n), bytes(left)));
            (type == type_flash ? images.flash : images.eeprom)
                .append(reinterpret_cast<const char*>(a + f + record_head), n);
        }
        const int next = f + record_head + n + record_tail;
        if (next > max_area)
            fail(file,
                 QStringLiteral("запись на смещении %1 кончается дальше %2 от начала записей (смещение %3)")
                     .arg(at, bytes(max_area), QString::number(area)));
        f = static_cast<uint16_t>(next);
    }
    return images;
}

QString UpdatePackage::version() const {
    return QStringLiteral("%1.%2").arg(header.inf.version[0]).arg(header.inf.version[1]);
}

UpdatePackage read_update_package(const QString& path) {
    UpdatePackage p;
    p.file = load_update_file(path);
    p.header = read_header(p.file);
    p.images = build_images(p.file, p.header.area);
    return p;
}
