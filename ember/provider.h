// An Ember+ provider on TCP: consumers connect, ask for the tree, set values and connect matrix
// crosspoints; what changes is announced to every consumer. What the tree holds is the host's: it
// answers through EmberTree. A consumer that breaks the framing, sends more than a frame may hold or
// stops reading is disconnected; the others and the tree do not notice.
#pragma once

#include "ember/glow.h"
#include "ember/s101.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>

class QTcpSocket;

// The provider's tree, as the host keeps it. Called on the provider's thread.
class EmberTree {
public:
    virtual ~EmberTree() = default;
    // The element at `path` and its children with their contents (GetDirectory). False: no such element.
    virtual bool directory(const glow::Path& path, glow::RootWriter& out) = 0;
    // A consumer's new value for the parameter at `path`. The element's state as it is now (the value
    // taken, or the one kept when the value is refused) goes into `answer`; `why` says why it was
    // refused, empty when taken.
    virtual void set_value(const glow::Path& path, const glow::Value& value, glow::RootWriter& answer,
                           QString& why) = 0;
    // A consumer's connections on the matrix at `path`, as set_value.
    virtual void connect(const glow::Path& path, const std::vector<glow::Connection>& connections,
                         glow::RootWriter& answer, QString& why) = 0;
};

class EmberProvider : public QObject {
public:
    // Consumers at once, at most; one more is refused at connect.
    static constexpr int max_consumers = 16;
    // What a consumer may leave unread before it counts as gone, and the longest message it may send.
    static constexpr qint64 max_unread = 4 << 20;
    static constexpr qsizetype max_message = 256 << 10;

    explicit EmberProvider(EmberTree& tree);
    ~EmberProvider() override;
    EmberProvider(const EmberProvider&) = delete;
    EmberProvider& operator=(const EmberProvider&) = delete;

    // Listens at `address`:`port` (0: any free port). False, with `why`, when it cannot.
    bool listen(const QHostAddress& address, quint16 port, QString& why);
    QHostAddress address() const { return server_.serverAddress(); }
    quint16 port() const { return server_.serverPort(); }

    // Sends `root` to every consumer that has asked for the tree (a change the tree made).
    void announce(glow::RootWriter& root);
    int consumers() const { return static_cast<int>(consumers_.size()); }

    // A line for the operator: a consumer came, left or was sent away, a request was refused.
    std::function<void(const QString&)> on_note;

private:
    struct Consumer {
        QTcpSocket* socket;
        QString name; // address:port
        s101::Reader reader{max_message};
        // Changes go to a consumer once it has asked for the tree: before, it knows no element to
        // change, and would take an announcement for the answer it waits for.
        bool asked = false;
    };
    void accept();
    void read(QTcpSocket* socket);
    void take(Consumer& consumer, const QByteArray& glow);
    void send(Consumer& consumer, const QByteArray& bytes);
    void drop(QTcpSocket* socket, const QString& why);
    void note(const QString& text) const;

    EmberTree& tree_;
    QTcpServer server_;
    std::map<QTcpSocket*, std::unique_ptr<Consumer>> consumers_;
};
