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
} // namespace timings
