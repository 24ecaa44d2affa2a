// Fuzzes what a consumer sends the Ember+ provider: S101 bytes cut anywhere and the Glow of each message,
// the same bytes as Glow outright (a fuzzer seldom gets a frame's CRC right), and framing them as Glow.
#include "ember/glow.h"
#include "ember/s101.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

volatile std::size_t sink;

// A failed decode acts on nothing; a value set reads back the same once written as an answer.
void decode(const QByteArray& glow) {
    std::vector<glow::Request> requests;
    QString error;
    if (!glow::decode_requests(glow, requests, error)) {
        if (!requests.empty() || error.isEmpty())
            __builtin_trap();
        return;
    }
    for (const glow::Request& r : requests) {
        for (const int32_t n : r.path)
            if (n < 0)
                __builtin_trap();
        sink = sink + r.path.size() + r.connections.size();
        if (r.kind != glow::Request::Kind::set_value || r.path.empty())
            continue;
        if (const auto* d = std::get_if<double>(&r.value); d && std::isnan(*d))
            continue;
        glow::RootWriter w;
        glow::ParameterContents contents;
        contents.value = r.value;
        w.parameter(r.path, contents);
        std::vector<glow::Request> back;
        if (!glow::decode_requests(w.finish(), back, error) || back.size() != 1 || back[0].path != r.path ||
            back[0].value != r.value)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The first byte says where the bytes are cut in two reads.
    const qsizetype cut = size == 0 ? 0 : data[0] % (bytes.size() + 1);

    // A small limit, so that messages beyond it are within the fuzzer's reach.
    s101::Reader reader(4096);
    std::vector<s101::Message> messages;
    QString error;
    if (reader.feed(QByteArrayView(bytes).first(cut), messages, error))
        reader.feed(QByteArrayView(bytes).sliced(cut), messages, error);
    for (const s101::Message& m : messages)
        decode(m.glow);
    decode(bytes);

    // Any Glow framed comes back whole, wherever the frames are cut.
    const QByteArray framed = s101::frame(bytes);
    const qsizetype framed_cut = cut * framed.size() / (bytes.size() + 1);
    s101::Reader again;
    messages.clear();
    if (!again.feed(QByteArrayView(framed).first(framed_cut), messages, error) ||
        !again.feed(QByteArrayView(framed).sliced(framed_cut), messages, error) || messages.size() != 1 ||
        messages[0].kind != s101::Message::Kind::ember || messages[0].glow != bytes)
        __builtin_trap();
    return 0;
}
