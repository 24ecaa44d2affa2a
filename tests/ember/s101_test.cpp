// S101 frames against node-emberplus's: the same bytes out, its bytes read back however they arrive, and
// broken framing refused.
#include "ember/s101.h"

#include <gtest/gtest.h>

namespace s101 {
bool operator==(const Message& a, const Message& b) {
    return a.kind == b.kind && a.glow == b.glow;
}
void PrintTo(const Message& m, std::ostream* os) {
    *os << static_cast<int>(m.kind) << ":" << m.glow.toHex().constData();
}
} // namespace s101

namespace {

using s101::Message;

// node-emberplus 3.0.8's EmberClient sending a GetDirectory on the qualified node 1.2, and the Glow in it.
const QByteArray get_directory_frame = QByteArray::fromHex(
    "fe000e0001c001021f02601e6b1ca01a6a18a0040d020102a210640ea00c620aa003020120a1030201fddf1014ff");
const QByteArray get_directory_glow =
    QByteArray::fromHex("601e6b1ca01a6a18a0040d020102a210640ea00c620aa003020120a1030201ff");
const QByteArray node_keep_alive_request = QByteArray::fromHex("fe000e010194e4ff");
const QByteArray node_keep_alive_response = QByteArray::fromHex("fe000e0201fddcceff");

// Long enough for several packets, with every byte value that needs escaping.
QByteArray long_glow() {
    QByteArray glow;
    for (int i = 0; i < 3000; ++i)
        glow.append(static_cast<char>(i * 7));
    return glow;
}

bool feed(s101::Reader& reader, QByteArrayView bytes, std::vector<Message>& out) {
    QString error;
    const bool ok = reader.feed(bytes, out, error);
    EXPECT_EQ(ok, error.isEmpty()) << error.toStdString();
    return ok;
}

TEST(S101, FramesAndKeepAlivesAreByteForByteNodeEmberplusOnes) {
    EXPECT_EQ(s101::frame(get_directory_glow).toHex().toStdString(),
              get_directory_frame.toHex().toStdString());
    EXPECT_EQ(s101::keep_alive_request().toHex().toStdString(),
              node_keep_alive_request.toHex().toStdString());
    EXPECT_EQ(s101::keep_alive_response().toHex().toStdString(),
              node_keep_alive_response.toHex().toStdString());
}

TEST(S101, GivesTheSameMessagesWhereverTheStreamIsCut) {
    const QByteArray long_frames = s101::frame(long_glow());
    ASSERT_GT(long_frames.count(char(0xFE)), 2); // several packets: BOF is never in a frame's body
    const QByteArray stream = node_keep_alive_request + get_directory_frame + long_frames;
    const std::vector<Message> expected = {{Message::Kind::keep_alive_request, {}},
                                           {Message::Kind::ember, get_directory_glow},
                                           {Message::Kind::ember, long_glow()}};
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        s101::Reader reader;
        std::vector<Message> out;
        ASSERT_TRUE(feed(reader, QByteArrayView(stream).first(cut), out));
        ASSERT_TRUE(feed(reader, QByteArrayView(stream).sliced(cut), out));
        ASSERT_EQ(out, expected) << "cut at " << cut;
    }
    s101::Reader reader;
    std::vector<Message> out;
    for (const char b : stream)
        ASSERT_TRUE(feed(reader, QByteArrayView(&b, 1), out));
    EXPECT_EQ(out, expected);
}

TEST(S101, ReadsPastFramesOfOtherKinds) {
    const QByteArray other_command = QByteArray::fromHex("fe000e030124d7ff");
    const QByteArray other_dtd = QByteArray::fromHex("fe000e0001c0020001020acdff");
    s101::Reader reader;
    std::vector<Message> out;
    ASSERT_TRUE(feed(reader, other_command + other_dtd + get_directory_frame, out));
    EXPECT_EQ(out, (std::vector<Message>{{Message::Kind::ember, get_directory_glow}}));
}

TEST(S101, RefusesBrokenFramingAndKeepsWhatCameBefore) {
    QByteArray wrong_crc = get_directory_frame;
    wrong_crc[20] = static_cast<char>(wrong_crc[20] ^ 0x01);
    const QByteArray long_frames = s101::frame(long_glow());
    const QByteArray second_packet = long_frames.sliced(long_frames.indexOf(char(0xFE), 1));
    struct Case {
        const char* what;
        QByteArray bytes;
        qsizetype max_message = 1 << 20;
    };
    const Case cases[] = {
        {"a wrong CRC", wrong_crc},
        {"an oversized message", get_directory_frame, 16},
        {"an escape before EOF", QByteArray::fromHex("fe000e01fdff")},
        {"an escape of a byte that needs none", QByteArray::fromHex("fe000efd4101")},
        {"an unescaped 0xF9", QByteArray::fromHex("fe000ef9")},
        {"a byte outside a frame", QByteArray::fromHex("00")},
        {"a frame inside a frame", QByteArray::fromHex("fe000efe")},
        {"a frame too short for its header", QByteArray::fromHex("fe0001ff")},
        {"a packet continuing no message", second_packet},
    };
    for (const Case& c : cases) {
        s101::Reader reader(c.max_message);
        std::vector<Message> out;
        QString error;
        EXPECT_FALSE(reader.feed(node_keep_alive_request + c.bytes, out, error)) << c.what;
        EXPECT_FALSE(error.isEmpty()) << c.what;
        EXPECT_EQ(out, (std::vector<Message>{{Message::Kind::keep_alive_request, {}}})) << c.what;
    }
}

} // namespace
