// Waking the user-interface thread from any thread to run one function of ours.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

// Posts an event to an object of its own, which reads nothing of the event: Qt calls customEvent for a
// posted event of a user type, and frees the event itself. So nothing of ours travels inside Qt's event
// queue, where no tool (ThreadSanitizer among them) can follow the hand-over; what Fn works on goes
// through our own locks.
template <void (*Fn)()> class UiCall : public QObject {
public:
    static void post() {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr)
            return; // no user-interface thread to run it on
        static UiCall* const receiver = [app] {
            auto* r = new UiCall;
            r->moveToThread(app->thread());
            return r;
        }();
        QCoreApplication::postEvent(receiver, new QEvent(QEvent::User));
    }

protected:
    void customEvent(QEvent* /*event*/) override { Fn(); }
};
