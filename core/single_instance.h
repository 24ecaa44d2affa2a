// One running utility per user: a second start hands over to the first and ends.
#pragma once

#include <QLocalServer>
#include <QObject>

#include <functional>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` is the channel's name; the default one is private to the user.
    explicit SingleInstance(QString name = default_name());

    // True when another instance runs: it has been asked to show its main window, and this process
    // should end without creating one. Otherwise this process now owns the channel.
    bool forwarded_to_running();

    // Called on the user-interface thread when a later start asks this instance to come forward.
    void on_show(std::function<void()> show) { show_ = std::move(show); }

    QString error() const { return error_; }

    static QString default_name();

private:
    void answer();

    QString name_;
    QLocalServer server_;
    std::function<void()> show_;
    QString error_;
};
