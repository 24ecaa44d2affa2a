// S101, the framing Ember+ runs over TCP: each message a frame between BOF (0xFE) and EOF (0xFF), the
// bytes from 0xF8 up escaped, a CRC-CCITT over the unescaped content; keep-alive requests and answers;
// an EmBER message may come in several packets.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

namespace s101 {

struct Message {
    enum class Kind { ember, keep_alive_request, keep_alive_response };
    Kind kind = Kind::ember;
    QByteArray glow; // ember: the BER-encoded Glow root, its packets joined
};

// `glow` (one encoded Glow root) as S101 EmBER frames, split into packets when it is long.
QByteArray frame(const QByteArray& glow);
QByteArray keep_alive_request();
QByteArray keep_alive_response();

// Takes a consumer's bytes as they come and gives its complete messages.
class Reader {
public:
    // A message (its packets joined) longer than `max_message` bytes is a fault.
    explicit Reader(qsizetype max_message = 1 << 20);
    // False, with `error` saying what, when the bytes break the framing: a wrong CRC, an escape out of
    // place, a frame or message too long, a header that is not S101. The connection is then to be
    // closed; messages complete before the fault are in `out`. Frames of other kinds than EmBER and
    // keep-alive are read past.
    bool feed(QByteArrayView bytes, std::vector<Message>& out, QString& error);

private:
    qsizetype max_message_;
    QByteArray frame_;        // the unescaped bytes of the frame being read
    QByteArray pending_;      // the packets of a multi-packet message so far
    bool in_message_ = false; // a first packet came, its last not yet
    bool in_frame_ = false;
    bool escape_ = false;
};

} // namespace s101
