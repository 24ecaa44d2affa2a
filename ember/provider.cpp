// Consumers: each socket's bytes through its own S101 reader, its requests to the tree, the answers back.
#include "ember/provider.h"

#include <QTcpSocket>

EmberProvider::EmberProvider(EmberTree& tree) : tree_(tree) {
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
}

EmberProvider::~EmberProvider() {
    for (auto& [socket, consumer] : consumers_) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        socket->abort();
        socket->deleteLater();
    }
}

bool EmberProvider::listen(const QHostAddress& address, quint16 port, QString& why) {
    if (server_.listen(address, port))
        return true;
    why = server_.errorString();
    return false;
}

void EmberProvider::note(const QString& text) const {
    if (on_note)
        on_note(text);
}

void EmberProvider::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        const QString name =
            QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        if (consumers() >= max_consumers) {
            note(QStringLiteral("потребитель Ember+ %1 не принят: уже подключено %2")
                     .arg(name)
                     .arg(max_consumers));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto consumer = std::make_unique<Consumer>();
        consumer->socket = socket;
        consumer->name = name;
        consumers_.emplace(socket, std::move(consumer));
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, this,
                         [this, socket] { drop(socket, QStringLiteral("соединение закрыто")); });
        note(QStringLiteral("потребитель Ember+ %1 подключился").arg(name));
    }
}

void EmberProvider::drop(QTcpSocket* socket, const QString& why) {
    const auto it = consumers_.find(socket);
    if (it == consumers_.end())
        return;
    note(QStringLiteral("потребитель Ember+ %1 отключён: %2").arg(it->second->name, why));
    QObject::disconnect(socket, nullptr, this, nullptr);
    consumers_.erase(it);
    socket->abort();
    socket->deleteLater();
}

void EmberProvider::send(Consumer& consumer, const QByteArray& bytes) {
    // A consumer that does not read would make us hold its backlog without end.
    if (consumer.socket->bytesToWrite() + bytes.size() > max_unread) {
        drop(consumer.socket, QStringLiteral("не читает, что ему отправлено"));
        return;
    }
    consumer.socket->write(bytes);
}

void EmberProvider::read(QTcpSocket* socket) {
    const auto it = consumers_.find(socket);
    if (it == consumers_.end())
        return;
    Consumer& consumer = *it->second;
    std::vector<s101::Message> messages;
    QString error;
    const bool good = consumer.reader.feed(socket->readAll(), messages, error);
    for (const s101::Message& m : messages) {
        if (!consumers_.count(socket))
            return; // dropped while answering
        switch (m.kind) {
        case s101::Message::Kind::keep_alive_request:
            send(consumer, s101::keep_alive_response());
            break;
        case s101::Message::Kind::keep_alive_response:
            break;
        case s101::Message::Kind::ember:
            take(consumer, m.glow);
            break;
        }
    }
    if (!good && consumers_.count(socket))
        drop(socket, error);
}

void EmberProvider::take(Consumer& consumer, const QByteArray& glow) {
    std::vector<glow::Request> requests;
    QString error;
    if (!glow::decode_requests(glow, requests, error)) {
        drop(consumer.socket, error);
        return;
    }
    glow::RootWriter answer;
    for (const glow::Request& r : requests) {
        QString why;
        switch (r.kind) {
        case glow::Request::Kind::command:
            // Subscriptions need no bookkeeping: every consumer hears of every change.
            if (r.command == glow::CommandNumber::get_directory) {
                consumer.asked = true;
                if (!tree_.directory(r.path, answer))
                    why = QStringLiteral("нет элемента по этому пути");
            }
            break;
        case glow::Request::Kind::set_value:
            tree_.set_value(r.path, r.value, answer, why);
            break;
        case glow::Request::Kind::connect:
            tree_.connect(r.path, r.connections, answer, why);
            break;
        }
        if (!why.isEmpty()) {
            QStringList path;
            for (const int32_t n : r.path)
                path << QString::number(n);
            note(QStringLiteral("потребитель Ember+ %1: запрос к %2 не выполнен: %3")
                     .arg(consumer.name,
                          path.isEmpty() ? QStringLiteral("корню") : path.join(QLatin1Char('.')), why));
        }
    }
    if (!answer.empty())
        send(consumer, s101::frame(answer.finish()));
}

void EmberProvider::announce(glow::RootWriter& root) {
    if (root.empty())
        return;
    const QByteArray bytes = s101::frame(root.finish());
    std::vector<QTcpSocket*> sockets;
    for (const auto& [socket, consumer] : consumers_)
        sockets.push_back(socket);
    for (QTcpSocket* socket : sockets)
        if (const auto it = consumers_.find(socket); it != consumers_.end() && it->second->asked)
            send(*it->second, bytes);
}
