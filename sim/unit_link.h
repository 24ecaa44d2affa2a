// The unit's side of the link: messages rebuilt from output reports, replies cut into input reports.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace unit_link {

inline constexpr std::size_t report_bytes = 65; // report ID, then 64 bytes
inline constexpr std::size_t chunk_bytes = 58;
inline constexpr uint8_t report_id = 1;

// Rebuilds the host's messages. The host numbers its reports by offset and repeats the message length
// in every report; a careful firmware takes only reports that continue the message in order, and
// drops a message whose length field or CRC does not match.
class MessageAssembler {
public:
    struct Result {
        enum class Kind { partial, complete, dropped } kind = Kind::partial;
        std::vector<uint8_t> message; // complete: type, length, payload, CRC
        std::string why;              // dropped: the reason, for the unit's log
    };

    Result feed(std::span<const uint8_t> report);
    // Forgets a partial message (a new session after a plug-in).
    void reset();

private:
    std::vector<uint8_t> buffer_;
    std::size_t total_ = 0; // 0: no message under way
};

// How replies leave the unit; the switches are fault injections.
struct ReplyShape {
    bool corrupt_crc = false;  // the CRC's low byte is inverted
    bool wrong_length = false; // the length field says one byte more than the payload
};

// Builds a reply message (type, length, payload, CRC; big-endian), shaped as asked.
std::vector<uint8_t> reply_message(uint8_t type, std::span<const uint8_t> payload, ReplyShape shape = {});

// Cuts a reply into input reports that meet the host's completion rule: every report but the last has
// its offset below the total field and the last does not. One report carries offset 0 and total 0;
// longer replies carry the last report's offset as the total.
std::vector<std::vector<uint8_t>> input_reports(std::span<const uint8_t> message);

// "cmd_set_par" for a known code, "unknown" otherwise.
std::string command_name(uint8_t code);

} // namespace unit_link
