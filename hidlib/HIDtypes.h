// Records, handler types and entry points of the HID access library, shared by the library and its host.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

#pragma pack(push, 1)

// One value capability of a report: its usage, report ID and low bytes of bit size and count.
struct THIDreportItem {
    uint16_t Usage;
    uint8_t ReportID;
    uint8_t BitSize;
    uint8_t ReportCount;
};

// Length-prefixed 8-bit string: the length byte, then up to 255 characters; always 256 bytes.
struct THIDstring {
    uint8_t Length;
    char Chars[255];
};

// The library's description of one device; crosses the module boundary byte for byte (little-endian).
struct THIDdeviceInfo {
    THIDstring DevicePath;
    uint16_t OutputReportByteLength;
    uint16_t InputReportByteLength;
    uint16_t FeatureReportByteLength;
    THIDreportItem OutputItems[10];
    THIDreportItem InputItems[10];
    THIDreportItem FeatureItems[10];
    int32_t Handle; // -1 when the device is not open
    uint16_t VendorID;
    uint16_t ProductID;
    uint16_t VersionNumber;
    THIDstring Manufacturer;
    THIDstring Product;
    THIDstring SerialNumber;
    uint8_t CanReadWrite;
};

// One report: the report ID, then 64 data bytes.
struct THIDreport {
    uint8_t ReportID;
    uint8_t Data[64];
};

#pragma pack(pop)

// Input-report handler: the report by value and its item count. Called on the library's input thread,
// one report at a time, in arrival order.
typedef void (*THIDeventHandler)(THIDreport report, uint8_t count);
// Device-change handler. A host whose loading thread runs a Qt event loop gets the calls on that thread,
// from its loop; any other host (no Qt, the library loaded before the application object or from a
// plain thread) gets them on a thread of the library.
typedef void (*TUSBeventHandler)();

// Handlers run with no lock of the library held, so they may take the host's own locks.
// - HIDsetEventHandler / USBsetEventHandler with another handler never wait: a call of the old one may
//   still be under way when they return.
// - With NULL they wait for a call under way to end (unless made from inside that call): once they have
//   returned, the old handler is not running and will not be called. So a host clears its handlers before
//   it tears down what they use (at exit), and does not clear them while holding a lock its handler takes.
// - HIDcloseDevice delivers the reports the device had already sent when it was called, in order, and
//   returns once they are delivered or 500 ms after it was called, whichever is first: at the limit the
//   rest are dropped. No call with a report of that device starts after it has returned; a call under
//   way at the limit is not waited for.

// Reports and buffers. Every buffer a host passes is a THIDreport: 65 bytes, never more is read or
// written. A device whose report of a kind is longer than 65 bytes is refused for that kind: its
// HIDSetOutputReport, HIDGetInputReport, HIDSetFeatureReport, HIDGetFeatureReport and HIDwriteDevice
// give 0 and leave the buffer as it was. Its input reports reach the input handler and HIDreadDevice
// cut to 65 bytes, the rest dropped. A size query whose length does not fit its byte result gives 0,
// as without a current device.

} // extern "C"

static_assert(sizeof(THIDreportItem) == 5);
static_assert(sizeof(THIDstring) == 256);
static_assert(sizeof(THIDreport) == 65);
static_assert(sizeof(THIDdeviceInfo) == 1191);
static_assert(offsetof(THIDdeviceInfo, OutputReportByteLength) == 256);
static_assert(offsetof(THIDdeviceInfo, OutputItems) == 262);
static_assert(offsetof(THIDdeviceInfo, Handle) == 412);
static_assert(offsetof(THIDdeviceInfo, VersionNumber) == 420);
static_assert(offsetof(THIDdeviceInfo, Manufacturer) == 422);
static_assert(offsetof(THIDdeviceInfo, SerialNumber) == 934);
static_assert(offsetof(THIDdeviceInfo, CanReadWrite) == 1190);

// The 18 entry points, in binding order: X(name, result, parameters). Booleans are one byte, 0 or 1.
// The library defines and exports exactly these; the host binds them by name.
#define HID_ENTRY_POINTS(X)                                                                                  \
    X(USBsetEventHandler, void, (TUSBeventHandler handler))                                                  \
    X(HIDsetEventHandler, void, (THIDeventHandler handler))                                                  \
    X(HIDscanForDevices, uint8_t, ())                                                                        \
    X(HIDGetDeviceInfo, void, (uint8_t index, THIDdeviceInfo * info))                                        \
    X(HIDopenDevice, uint8_t, (uint8_t index))                                                               \
    X(HIDcloseDevice, void, ())                                                                              \
    X(HIDwriteDevice, uint8_t, (THIDreport report))                                                          \
    X(HIDreadDevice, uint8_t, (THIDreport * report))                                                         \
    X(HIDOutputReportSize, uint8_t, ())                                                                      \
    X(HIDInputReportSize, uint8_t, ())                                                                       \
    X(HIDFeatureReportSize, uint8_t, ())                                                                     \
    X(HIDOutputReportCount, uint8_t, (uint8_t reportId))                                                     \
    X(HIDInputReportCount, uint8_t, (uint8_t reportId))                                                      \
    X(HIDFeatureReportCount, uint8_t, (uint8_t reportId))                                                    \
    X(HIDSetOutputReport, uint8_t, (const uint8_t* buffer))                                                  \
    X(HIDGetInputReport, uint8_t, (uint8_t * buffer))                                                        \
    X(HIDSetFeatureReport, uint8_t, (const uint8_t* buffer))                                                 \
    X(HIDGetFeatureReport, uint8_t, (uint8_t * buffer))
