// Every interval of the link and the windows, in one place.
#pragma once

#include <chrono>

namespace timings {
using std::chrono::milliseconds;

// The settings poll of a unit in its normal firmware (cmd_get_par).
inline constexpr milliseconds settings_poll{200};
// The update window's timer: its first tick after start-up, its update poll (cmd_upd_poll), and the
// tick that closes the window after the unit's answer to cmd_finish.
inline constexpr milliseconds update_first_tick{2000};
inline constexpr milliseconds update_poll{200};
inline constexpr milliseconds update_close{100};
// How often the main window's link watch looks at the link's health. The poll's period: both timers
// tick on the worker, and come due together, so the idle worker wakes once for the two.
inline constexpr milliseconds link_watch{200};
// How long device changes wait for the unit's answer to cmd_finish before discovery runs all the same.
inline constexpr milliseconds finish_answer{2000};
// Another try at opening a unit that was found but could not be opened.
inline constexpr milliseconds retry_open{1000};
// No valid reply for this long from an open unit in its normal firmware (polled every settings_poll) is
// told as a link that does not answer.
inline constexpr milliseconds silence_limit{2000};
// After a write, replies are not shown until the unit's answer to it has come, for at most this long
// (the unit may change or refuse a write, and its answer may be lost).
inline constexpr milliseconds echo_wait{1000};
// The command line's update: how long the unit has to restart into its boot loader, to report the
// update's result, and to come back in its normal firmware, before the operator is told.
inline constexpr milliseconds boot_loader_limit{10000};
inline constexpr milliseconds update_result_limit{30000};
inline constexpr milliseconds back_in_firmware_limit{10000};
} // namespace timings
