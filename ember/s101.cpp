// S101 frames: escaping, the CRC, the EmBER header, packets joined into messages.
#include "ember/s101.h"

#include <array>
#include <cstdint>
#include <utility>

namespace s101 {

namespace {

constexpr uint8_t bof = 0xFE, eof = 0xFF, ce = 0xFD, escape_xor = 0x20, first_escaped = 0xF8;
constexpr uint8_t slot = 0x00, message_ember = 0x0E, version = 0x01;
constexpr uint8_t command_ember = 0x00, command_keep_alive_request = 0x01, command_keep_alive_response = 0x02;
constexpr uint8_t flag_first = 0x80, flag_last = 0x40, flag_empty = 0x20;
constexpr uint8_t dtd_glow = 0x01;
constexpr uint8_t glow_version_minor = 0x1F, glow_version_major = 0x02; // Glow 2.31, minor first
// Escaped payload bytes in a packet: what other providers send and every consumer takes.
constexpr qsizetype packet_payload = 1024;
// Slot, message type, command and version; then, of an EmBER frame, flags, DTD and the count of the
// application bytes (at most 255) that follow.
constexpr qsizetype header_size = 4, ember_header_size = 7, crc_size = 2;

// CRC-CCITT, reflected (0x8408), starting at 0xFFFF, sent complemented, low byte first.
constexpr std::array<uint16_t, 256> crc_table = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}();
// The register after the contents and their CRC, when the CRC is right.
constexpr uint16_t crc_residue = 0xF0B8;

uint16_t crc_ccitt(QByteArrayView bytes) {
    uint16_t crc = 0xFFFF;
    for (const char ch : bytes)
        crc = static_cast<uint16_t>((crc >> 8) ^ crc_table[(crc ^ static_cast<uint8_t>(ch)) & 0xFF]);
    return crc;
}

void put_escaped(QByteArray& out, uint8_t b) {
    if (b >= first_escaped) {
        out.append(static_cast<char>(ce));
        out.append(static_cast<char>(b ^ escape_xor));
    } else {
        out.append(static_cast<char>(b));
    }
}

// BOF, the escaped contents and CRC, EOF.
void put_frame(QByteArray& out, const QByteArray& contents) {
    const auto crc = static_cast<uint16_t>(~crc_ccitt(contents));
    out.append(static_cast<char>(bof));
    for (const char ch : contents)
        put_escaped(out, static_cast<uint8_t>(ch));
    put_escaped(out, static_cast<uint8_t>(crc & 0xFF));
    put_escaped(out, static_cast<uint8_t>(crc >> 8));
    out.append(static_cast<char>(eof));
}

QByteArray keep_alive(uint8_t command) {
    QByteArray contents;
    contents.append(static_cast<char>(slot));
    contents.append(static_cast<char>(message_ember));
    contents.append(static_cast<char>(command));
    contents.append(static_cast<char>(version));
    QByteArray out;
    put_frame(out, contents);
    return out;
}

qsizetype escaped_size(char ch) {
    return static_cast<uint8_t>(ch) >= first_escaped ? 2 : 1;
}

} // namespace

QByteArray frame(const QByteArray& glow) {
    QByteArray out;
    qsizetype at = 0;
    do {
        qsizetype end = at, escaped = 0;
        while (end < glow.size() && escaped + escaped_size(glow[end]) <= packet_payload)
            escaped += escaped_size(glow[end++]);
        uint8_t flags = 0;
        if (at == 0)
            flags |= flag_first;
        if (end == glow.size())
            flags |= flag_last;
        QByteArray contents;
        contents.reserve(ember_header_size + 2 + (end - at));
        for (const uint8_t b : {slot, message_ember, command_ember, version, flags, dtd_glow, uint8_t{2},
                                glow_version_minor, glow_version_major})
            contents.append(static_cast<char>(b));
        contents.append(glow.constData() + at, end - at);
        put_frame(out, contents);
        at = end;
    } while (at < glow.size());
    return out;
}

QByteArray keep_alive_request() {
    return keep_alive(command_keep_alive_request);
}

QByteArray keep_alive_response() {
    return keep_alive(command_keep_alive_response);
}

Reader::Reader(qsizetype max_message) : max_message_(max_message) {}

bool Reader::feed(QByteArrayView bytes, std::vector<Message>& out, QString& error) {
    const qsizetype max_frame = max_message_ + ember_header_size + 255 + crc_size;
    const auto fail = [&](const QString& what) {
        error = what;
        frame_.clear();
        pending_.clear();
        in_message_ = in_frame_ = escape_ = false;
        return false;
    };
    for (const char ch : bytes) {
        const auto b = static_cast<uint8_t>(ch);
        if (!in_frame_) {
            if (b != bof)
                return fail(QStringLiteral("byte 0x%1 outside a frame").arg(b, 2, 16, QLatin1Char('0')));
            in_frame_ = true;
            frame_.clear();
            continue;
        }
        if (escape_) {
            escape_ = false;
            const auto unescaped = static_cast<uint8_t>(b ^ escape_xor);
            if (b == bof || b == eof || unescaped < first_escaped)
                return fail(QStringLiteral("an escape before 0x%1, which is not an escaped byte")
                                .arg(b, 2, 16, QLatin1Char('0')));
            frame_.append(static_cast<char>(unescaped));
        } else if (b == ce) {
            escape_ = true;
            continue;
        } else if (b == bof) {
            return fail(QStringLiteral("a frame begun inside another"));
        } else if (b != eof) {
            if (b >= first_escaped)
                return fail(QStringLiteral("byte 0x%1 unescaped in a frame").arg(b, 2, 16, QLatin1Char('0')));
            frame_.append(ch);
        }
        if (frame_.size() > max_frame)
            return fail(QStringLiteral("a frame longer than %1 bytes").arg(max_frame));
        if (b != eof)
            continue;

        in_frame_ = false;
        const QByteArrayView f(frame_);
        if (f.size() < header_size + crc_size)
            return fail(QStringLiteral("a frame of %1 bytes, too short for S101").arg(f.size()));
        if (crc_ccitt(f) != crc_residue)
            return fail(QStringLiteral("a frame with a wrong CRC"));
        const QByteArrayView contents = f.first(f.size() - crc_size);
        if (static_cast<uint8_t>(contents[1]) != message_ember)
            continue; // another kind of message than EmBER
        if (static_cast<uint8_t>(contents[3]) != version)
            return fail(QStringLiteral("S101 version %1, not 1").arg(static_cast<uint8_t>(contents[3])));
        const auto command = static_cast<uint8_t>(contents[2]);
        if (command == command_keep_alive_request || command == command_keep_alive_response) {
            out.push_back({command == command_keep_alive_request ? Message::Kind::keep_alive_request
                                                                 : Message::Kind::keep_alive_response,
                           {}});
            continue;
        }
        if (command != command_ember)
            continue;
        if (contents.size() < ember_header_size ||
            contents.size() < ember_header_size + static_cast<uint8_t>(contents[6]))
            return fail(QStringLiteral("an EmBER frame cut off in its header"));
        const auto flags = static_cast<uint8_t>(contents[4]);
        if (static_cast<uint8_t>(contents[5]) != dtd_glow)
            continue; // data of another DTD than Glow
        const QByteArrayView payload = contents.sliced(ember_header_size + static_cast<uint8_t>(contents[6]));
        if (flags & flag_first) {
            if (in_message_)
                return fail(QStringLiteral("a message begun before the last one ended"));
            in_message_ = true;
            pending_.clear();
        } else if (!in_message_) {
            return fail(QStringLiteral("a packet continuing no message"));
        }
        if (!(flags & flag_empty)) {
            if (payload.size() > max_message_ - pending_.size())
                return fail(QStringLiteral("a message longer than %1 bytes").arg(max_message_));
            pending_.append(payload);
        }
        if (flags & flag_last) {
            out.push_back({Message::Kind::ember, std::move(pending_)});
            pending_ = QByteArray();
            in_message_ = false;
        }
    }
    return true;
}

} // namespace s101
