// libFuzzer entry for loading a configuration file: any file gives its leading bytes over a block.
#include "ui/config_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Keeps the load from being optimised away.
static volatile uint64_t sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One private folder for the whole run, removed at its end; the file is rewritten for each input,
    // in memory where there is a tmpfs (a disk's truncate costs most of the time otherwise).
    static const QTemporaryDir dir(
        QDir(QFileInfo(QStringLiteral("/dev/shm")).isDir() ? QStringLiteral("/dev/shm") : QDir::tempPath())
            .filePath(QStringLiteral("config_file_fuzz-XXXXXX")));
    static const QString path = QDir(dir.path()).filePath(QStringLiteral("fuzz.cfg"));
    {
        QFile file(path);
        if (!dir.isValid() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
                static_cast<qint64>(size))
            __builtin_trap(); // the harness's own folder: nothing to fuzz without it
    }
    QByteArray head;
    QString reason;
    if (!config_file::read_head(path, head, reason))
        __builtin_trap(); // a readable file of any content loads
    // Only the first bytes are read (one more than a block, to tell a longer file), and they land as
    // they are; the rest of the block stays.
    const std::size_t n = std::min(size, sizeof(Tpar));
    if (static_cast<std::size_t>(head.size()) != std::min(size, sizeof(Tpar) + 1))
        __builtin_trap();
    Tpar block = default_par;
    config_file::overlay(block, head);
    const TparBytes bytes = to_bytes(block);
    const TparBytes before = to_bytes(default_par);
    if (std::memcmp(bytes.data(), data, n) != 0 ||
        !std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(n), bytes.end(),
                    before.begin() + static_cast<std::ptrdiff_t>(n)))
        __builtin_trap();
    sink = sink + bytes[0] + bytes[16];
    return 0;
}
