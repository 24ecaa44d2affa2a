// Takes the utility's place in single-instance tests: claims the channel or hands over, and says which.
#include "core/single_instance.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    SingleInstance instance(QString::fromLocal8Bit(argv[1]));
    if (instance.forwarded_to_running()) {
        std::printf("forwarded\n");
        return 0;
    }
    instance.on_show([] {
        std::printf("show\n");
        std::fflush(stdout);
    });
    std::printf("running\n");
    std::fflush(stdout);
    return QCoreApplication::exec(); // until the test ends it
}
