// libFuzzer entry for the update file reader: any bytes give a header and images or an UpdateFileError.
#include "update/update_file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Keeps the reads from being optimised away.
static volatile uint64_t sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const UpdateFile file{QStringLiteral("fuzz.voku"),
                          QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))};
    try {
        const UpdateHeader h = read_header(file);
        // The name lies inside the header, and the version is two digits.
        if (h.inf.name.size() > h.area || h.inf.version[0] > 9 || h.inf.version[1] > 9)
            __builtin_trap();
        sink = name_rule_accepts(h.inf, QStringLiteral("RV-390PKTA(boot)")) + h.area;
        const UpdateImages images = build_images(file, h.area);
        // The images come out of the record area, which is at most 65,535 bytes.
        if (images.flash.size() + images.eeprom.size() > 0xFFFF ||
            images.flash.size() + images.eeprom.size() >= file.bytes.size())
            __builtin_trap();
        sink =
            sink + static_cast<uint64_t>(images.flash.size()) + static_cast<uint64_t>(images.eeprom.size());
    } catch (const UpdateFileError& e) {
        sink = sink + std::strlen(e.what());
    }
    return 0;
}
