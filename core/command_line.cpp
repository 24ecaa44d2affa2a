// --version and --help of the utility, answered on standard output before Qt starts.
#include "core/command_line.h"

#include "rv390pkta_version.h"

#include <string_view>

const char* command_line_usage() {
    return "rv390pkta — настройка звукового блока RV-390PKTA по USB\n"
           "\n"
           "Использование: rv390pkta [параметры Qt]\n"
           "\n"
           "  -h, --help   показать эту справку и выйти\n"
           "  --version    показать версию и выйти\n"
           "\n"
           "Утилита находит блок (USB HID, изготовитель «VOK-RZ») сама, в том числе виртуальный\n"
           "блок rv390pkta-sim. При запуске она записывает файл HID_Lib.so в текущую папку.\n"
           "Параметры Qt (например, -platform offscreen) передаются Qt, прочие аргументы\n"
           "не учитываются.\n"
           "\n"
           "Доступ к блоку даёт правило udev 70-rv390pkta.rules из пакета rv390pkta;\n"
           "подробнее: man rv390pkta.\n";
}

std::optional<int> handle_command_line(int argc, char** argv, std::ostream& out) {
    for (int i = 1; i < argc && argv[i]; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "--version") {
            out << "rv390pkta " << rv390pkta_version << '\n' << std::flush;
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            out << command_line_usage() << std::flush;
            return 0;
        }
    }
    return std::nullopt;
}
