// Command bytes the utility sends; the unit's replies reuse the codes of the commands they answer.
#pragma once

#include <cstdint>

enum : uint8_t {
    cmd_get_par = 0x00,
    cmd_set_par = 0x80,
    cmd_erase = 0xF0,
    cmd_write_flash = 0xF1,
    cmd_write_eep = 0xF3,
    cmd_finish = 0xFA,
    cmd_upd_poll = 0xFB,
    cmd_upd_close = 0xFC,
    cmd_defaults = 0xFD,
};
