// Reading ".voku" firmware update files: the header, the name rule, and the flash and EEPROM images.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <stdexcept>

// The header record.
struct Tinf {
    QByteArray name;             // the value of "NAME=", in the 8-bit code page; empty when the key is absent
    uint8_t version[2] = {0, 0}; // the two digits after "VERSION="; 0 where absent or not a digit
    QByteArray date;             // not filled by the reader
};

// An update file that cannot be loaded or breaks a limit of the format. The text names the file and
// says what is wrong, for the operator.
class UpdateFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A loaded update file: the name that messages use, and its bytes.
struct UpdateFile {
    QString name;
    QByteArray bytes;
};

// What the header read yields: the header record and L, the file offset of the record area.
struct UpdateHeader {
    Tinf inf;
    uint16_t area = 0;
};

struct UpdateImages {
    QByteArray flash;
    QByteArray eeprom;
};

// The largest header (65,535 bytes) and a record area one byte over its limit: any byte beyond this
// could only belong to a record area that the image build refuses anyway.
inline constexpr qint64 update_file_read_limit = 0xFFFF + 0x10000;

// Loads the file at `path`, at most its first update_file_read_limit bytes, so a huge file chosen by
// mistake is refused by the image build without being held in memory. Throws UpdateFileError with
// the file's name and the system's reason when it cannot be read.
UpdateFile load_update_file(const QString& path);

// The header read: L, "NAME=" and "VERSION=". Throws UpdateFileError when the file is too short to
// hold L, when L is below 3, or when the "&" that ends the name is missing or stands before it.
UpdateHeader read_header(const UpdateFile& file);

// The name rule: true when the file's name equals the unit's name shown in `dev_name`, less the first
// "(boot)" in it, character for character.
bool name_rule_accepts(const Tinf& inf, const QString& dev_name);

// The image build over the record area that starts at file offset `area`. Throws UpdateFileError
// when the area is empty or longer than 65,535 bytes, when a record is cut off before its type byte
// or, for a flash or EEPROM record, before the end of its data, and when a record ends beyond the
// area's 16-bit offsets.
UpdateImages build_images(const UpdateFile& file, uint16_t area);

// A file read whole and checked through to its last record, so that nothing about it can fail once a
// unit has been touched; its bytes stay in memory, so a file changed meanwhile changes nothing.
struct UpdatePackage {
    UpdateFile file;
    UpdateHeader header;
    UpdateImages images;
    QString version() const; // the header's version as units report theirs: "major.minor"
};

// load_update_file, read_header and build_images in one. Throws UpdateFileError.
UpdatePackage read_update_package(const QString& path);
