// The device link: framing and sending, reassembly of replies, and bringing the link up.
#pragma once

#include "hidlib/HIDtypes.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

struct Request;

// Worker thread: frames and sends one request through the library. True when the last report was
// accepted; false at once when no unit is open. A framing error is shown on the user-interface thread.
bool usb_send(const Request& r);

// The library's input handler (input thread): reassembles and dispatches replies.
extern "C" void hid_event(THIDreport report, uint8_t count);

// Device-link initialisation, run on every activation of the main window (user-interface thread).
// False when the library could not be loaded; usb_init_error() then says why.
bool usb_init();
QString usb_init_error();
// The link without the library file and without discovery, for hosts that choose their units
// themselves: loads the carried library from memory and installs the handlers. False, with `error`
// set, when it cannot be loaded.
bool usb_load(QString& error);

// Detaches the utility from the library before the process ends: no handler of the utility runs
// after it returns, and the unit is closed. Run after the worker has stopped.
void usb_shutdown();

// Discovery: closes the open unit, scans, opens the first unit found (or the one chosen with
// choose_unit) and tells the windows its mode through ui_hooks (user-interface thread; also the
// library's device-change handler).
extern "C" void usb_connect();
// Which unit discovery takes among several: the one with this serial number or node/bus path; empty
// (the default) takes the first found.
void choose_unit(const QString& serial_or_path);
// The unit discovery takes, as last chosen (empty: the first found).
QString chosen_unit();

// The settings poll: posts cmd_get_par unless the open unit runs its boot loader. The main window's
// timer calls it every timings::settings_poll; a host without windows drives it the same way.
void poll_settings();
