// The single-instance channel as seen from outside the window: a UNIX socket path that accepts or not.
#include "core/instance_channel.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

QString instance_channel_name() {
    // The runtime folder is the user's own; the user ID keeps names apart where it is shared.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return QDir(dir).filePath(QStringLiteral("rv390pkta-%1.sock").arg(getuid()));
}

bool instance_running(const QString& name) {
    const QByteArray path = QFile::encodeName(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return false; // Qt could not have listened there either
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool listening = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return listening;
}
