// A deliberate race of our own code whose one side runs in a lambda of Qt's event loop. Under
// ThreadSanitizer, with the project's suppressions, it must still be reported: the suppressions let
// only Qt's own internals pass.
#include <QCoreApplication>
#include <QTimer>

#include <thread>

namespace {
int unguarded = 0; // written by two threads with nothing between them, on purpose
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::thread other([] { ++unguarded; });
    QTimer::singleShot(0, &app, [&] {
        ++unguarded;
        other.join();
        QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}
