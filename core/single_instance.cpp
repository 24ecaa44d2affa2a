// Per-user local channel between instances of the utility.
#include "core/single_instance.h"

#include "core/instance_channel.h"

#include <QLocalSocket>
#include <QLockFile>

namespace {
constexpr int answer_timeout_ms = 2000;
constexpr char show_request[] = "show\n";
} // namespace

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
}

QString SingleInstance::default_name() {
    return instance_channel_name();
}

bool SingleInstance::forwarded_to_running() {
    // Starts that race each other take turns, so exactly one of them becomes the running instance.
    // A lock left by a crashed process is taken over (QLockFile checks whether its owner lives).
    QLockFile lock(name_ + QStringLiteral(".lock"));
    lock.lock();

    QLocalSocket socket;
    socket.connectToServer(name_);
    if (socket.waitForConnected(answer_timeout_ms)) {
        socket.write(show_request);
        if (socket.waitForBytesWritten(answer_timeout_ms) && socket.waitForReadyRead(answer_timeout_ms))
            return true;
    }
    // Nobody answered: whatever is left of the channel belongs to an instance that is gone.
    QLocalServer::removeServer(name_);
    if (!server_.listen(name_))
        error_ = server_.errorString(); // the utility still runs; only the hand-over is lost
    return false;
}

void SingleInstance::answer() {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
            if (!peer->canReadLine())
                return;
            if (peer->readLine() == show_request) {
                peer->write("ok\n");
                peer->flush();
                if (show_)
                    show_();
            }
            peer->disconnectFromServer();
        });
    }
}
