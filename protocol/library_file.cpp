// Writing out and loading the carried HID access library.
#include "protocol/library_file.h"

#include "core/file_reason.h"
#include "protocol/HID.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" const uint8_t hid_resource_begin[];
extern "C" const uint8_t hid_resource_end[];
extern "C" const uint8_t relay_resource_begin[];
extern "C" const uint8_t relay_resource_end[];

std::span<const uint8_t> hid_resource() {
    return {hid_resource_begin, static_cast<std::size_t>(hid_resource_end - hid_resource_begin)};
}

std::span<const uint8_t> relay_resource() {
    return {relay_resource_begin, static_cast<std::size_t>(relay_resource_end - relay_resource_begin)};
}

namespace {
bool file_holds_image(const QString& name) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto image = hid_resource();
    if (file.size() != static_cast<qint64>(image.size()))
        return false;
    const QByteArray bytes = file.readAll();
    return bytes.size() == static_cast<qsizetype>(image.size()) &&
           std::memcmp(bytes.constData(), image.data(), image.size()) == 0;
}
} // namespace

void put_library_file() {
    const QString name = QString::fromLatin1(library_file_name);
    if (file_holds_image(name))
        return;
    // A file of other bytes is code the utility would not run: it is replaced, atomically.
    QSaveFile file(name);
    const auto image = hid_resource();
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size())) !=
            static_cast<qint64>(image.size()) ||
        !file.commit())
        throw LibraryFileError(
            QStringLiteral("Не удалось записать файл %1: %2").arg(name, file_reason(file)).toStdString());
}

namespace {
// A sealed memory file holding `image`, or -1 with `error` set.
int sealed_file(const char* name, std::span<const uint8_t> image, QString& error) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        error = errno_reason(errno);
        return -1;
    }
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        if (n <= 0) {
            error = errno_reason(errno);
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    // Sealed: the loaded bytes are the carried bytes, whatever happens to any file meanwhile.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
    return fd;
}

QString fd_path(int fd) {
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}
} // namespace

bool load_carried_library(ModuleInstance& module, THIDentries& into, QString& error) {
    const int fd = sealed_file(library_file_name, hid_resource(), error);
    if (fd < 0)
        return false;
    if (!hid_bind(fd_path(fd), module, into, error)) {
        ::close(fd);
        return false;
    }
    module.keep_file(fd);
    return true;
}

bool load_carried_relay(ModuleInstance& module, QString& error) {
    const int fd = sealed_file("event_relay.so", relay_resource(), error);
    if (fd < 0)
        return false;
    if (!module.load(fd_path(fd), error)) {
        ::close(fd);
        return false;
    }
    module.keep_file(fd);
    return true;
}
