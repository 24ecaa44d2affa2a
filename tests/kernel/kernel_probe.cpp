// Prints what the HID access library finds, one record a line; the kernel tests run it as another user.
#include "hidlib/HIDtypes.h"

#include <QCoreApplication>

#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {
std::string text(const THIDstring& s) {
    return std::string(s.Chars, s.Length);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the library's device watcher lives on the loading thread's loop
    void* module = dlopen(HID_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    const auto scan = reinterpret_cast<uint8_t (*)()>(dlsym(module, "HIDscanForDevices"));
    const auto info = reinterpret_cast<void (*)(uint8_t, THIDdeviceInfo*)>(dlsym(module, "HIDGetDeviceInfo"));
    if (scan == nullptr || info == nullptr)
        return 2;
    std::printf("uid=%u\n", static_cast<unsigned>(::getuid()));
    const uint8_t n = scan();
    for (uint8_t i = 0; i < n; ++i) {
        THIDdeviceInfo r{};
        info(i, &r);
        std::printf("vendor=%04x product=%04x version=%04x manufacturer=%s product=%s serial=%s output=%u "
                    "input=%u readwrite=%u\n",
                    r.VendorID, r.ProductID, r.VersionNumber, text(r.Manufacturer).c_str(),
                    text(r.Product).c_str(), text(r.SerialNumber).c_str(), r.OutputReportByteLength,
                    r.InputReportByteLength, r.CanReadWrite);
    }
    dlclose(module);
    return 0;
}
