// Glow requests exactly as node-emberplus's EmberClient sends them, and the answers we write read as it
// writes them.
#include "ember/ber.h"
#include "ember/glow.h"
#include "ember/s101.h"

#include <gtest/gtest.h>

namespace glow {
bool operator==(const Connection& a, const Connection& b) {
    return a.target == b.target && a.sources == b.sources && a.operation == b.operation &&
           a.disposition == b.disposition;
}
bool operator==(const Request& a, const Request& b) {
    return a.kind == b.kind && a.path == b.path && a.command == b.command && a.value == b.value &&
           a.connections == b.connections;
}
void PrintTo(const Request& r, std::ostream* os) {
    *os << "kind " << static_cast<int>(r.kind) << " value #" << r.value.index() << " path";
    for (const int32_t n : r.path)
        *os << " " << n;
}
} // namespace glow

namespace {

using glow::Request;

Request command(glow::Path path, glow::CommandNumber c = glow::CommandNumber::get_directory) {
    return {Request::Kind::command, std::move(path), c, {}, {}};
}
Request set(glow::Path path, glow::Value v) {
    return {Request::Kind::set_value, std::move(path), glow::CommandNumber::get_directory, std::move(v), {}};
}
Request connect(glow::Path path, int32_t target, std::vector<int32_t> sources, glow::ConnectionOperation op) {
    return {Request::Kind::connect,
            std::move(path),
            glow::CommandNumber::get_directory,
            {},
            {{target, std::move(sources), op, {}}}};
}

// The Glow of every EmBER message in `frames`.
std::vector<QByteArray> unframe(const QByteArray& frames) {
    s101::Reader reader;
    std::vector<s101::Message> messages;
    QString error;
    EXPECT_TRUE(reader.feed(frames, messages, error)) << error.toStdString();
    std::vector<QByteArray> glow;
    for (const s101::Message& m : messages)
        glow.push_back(m.glow);
    return glow;
}

TEST(Glow, DecodesTheRequestsOfNodeEmberplus) {
    using glow::ConnectionOperation;
    // Recorded from node-emberplus 3.0.8: its EmberClient on a TCP socket, the nested and subscribe forms
    // from its element API (a tree under a root, and a bare node). Whole S101 frames, after their header.
    const char* const s101_header = "fe000e0001c001021f02";
    const std::pair<const char*, std::vector<Request>> cases[] = {
        {"60106b0ea00c620aa003020120a1030201fddf948fff", {command({})}},
        {"601e6b1ca01a6a18a0040d020102a210640ea00c620aa003020120a1030201fddf1014ff", {command({1, 2})}},
        {"601f6b1da01b6919a0050d03010203a210640ea00c620aa003020120a1030201fddf1f53ff", {command({1, 2, 3})}},
        // A GetDirectory on a matrix, with the empty connection list node-emberplus adds.
        {"60226b20a01e711ca0040d020105a210640ea00c620aa003020120a1030201fddfa50230009b63ff",
         {command({1, 5})}},
        {"601b6b19a0176915a0050d03010203a10c310aa2030201fddaad030201016bccff", {set({1, 2, 3}, int64_t{-6})}},
        {"60236b21a01f691da0050d03010203a1143112a20b0909c00114000000000000ad030201027cddff",
         {set({1, 2, 3}, -2.5)}},
        {"60206b1ea01c691aa0050d03010203a111310fa2080c0648616c6c2041ad0302010356f5ff",
         {set({1, 2, 3}, QStringLiteral("Hall A"))}},
        {"601b6b19a0176915a0050d03010203a10c310aa2030101fddfad030201049105ff", {set({1, 2, 3}, true)}},
        {"60236b21a01f711da0040d020105a5153013a011700fa003020102a1030d0103a203020101a5beff",
         {connect({1, 5}, 2, {3}, ConnectionOperation::connect)}},
        {"60226b20a01e711ca0040d020105a5143012a010700ea003020101a1020d00a20302010014fddbff",
         {connect({1, 5}, 1, {}, ConnectionOperation::absolute)}},
        {"601a6b18a0166914a0050d03010203a20b6409a0076205a00302011e82cbff",
         {command({1, 2, 3}, glow::CommandNumber::subscribe)}},
        {"601a6b18a0166914a0050d03010203a20b6409a0076205a00302011f0bdaff",
         {command({1, 2, 3}, glow::CommandNumber::unsubscribe)}},
        // Nested: Node 1, Node 2, Command.
        {"602a6b28a0266324a003020101a21d641ba0196317a003020102a210640ea00c620aa003020120a1030201fddf9a23ff",
         {command({1, 2})}},
        {"60336b31a02f632da003020101a2266424a0226320a003020102a2196417a0156113a003020103a10c310aa203020107"
         "ad03020101baa5ff",
         {set({1, 2, 3}, int64_t{7})}},
        {"602f6b2da02b6329a003020101a2226420a01e6d1ca003020105a5153013a011700fa003020100a1030d0104a2030201"
         "01e10aff",
         {connect({1, 5}, 0, {4}, ConnectionOperation::connect)}},
        // A bare Node 1, no Root around it.
        {"6317a003020101a210640ea00c620aa003020120a1030201fddf1394ff", {command({1})}},
    };
    for (const auto& [hex, expected] : cases) {
        const std::vector<QByteArray> glow = unframe(QByteArray::fromHex(QByteArray(s101_header) + hex));
        ASSERT_EQ(glow.size(), 1u) << hex;
        std::vector<Request> requests;
        QString error;
        EXPECT_TRUE(glow::decode_requests(glow[0], requests, error)) << hex << ": " << error.toStdString();
        EXPECT_EQ(requests, expected) << hex;
    }
}

TEST(Glow, DecodesIndefiniteLengthsAndReadsPastWhatItDoesNotKnow) {
    const std::pair<const char*, std::vector<Request>> cases[] = {
        // Root, collection, [0], Command and its [0] all of indefinite length.
        {"60806b80a0806280a08002012000000000000000000000", {command({})}},
        // A function (not offered here) next to a GetDirectory on the qualified node 1.2.
        {"60226b20a0077305a003020101a0156a13a0040d020102a20b6409a0076205a003020120", {command({1, 2})}},
        // An octet-string value and an Invoke command: nothing to act on.
        {"60196b17a0156913a0050d03010203a10a3108a20604040102fffe", {}},
        {"600f6b0da00b6209a003020121a2023000", {}},
    };
    for (const auto& [hex, expected] : cases) {
        std::vector<Request> requests;
        QString error;
        EXPECT_TRUE(glow::decode_requests(QByteArray::fromHex(hex), requests, error))
            << hex << ": " << error.toStdString();
        EXPECT_EQ(requests, expected) << hex;
    }
}

// A GetDirectory on node 1.1...1, `levels` deep, in nested form.
QByteArray nested_nodes(int levels) {
    ber::Writer w;
    w.open(ber::application(0));
    w.open(ber::application(11));
    for (int i = 0; i < levels; ++i) {
        w.open(ber::context(0));
        w.open(ber::application(3));
        w.open(ber::context(0));
        w.integer(1);
        w.close();
        w.open(ber::context(2));
        w.open(ber::application(4));
    }
    w.open(ber::context(0));
    w.open(ber::application(2));
    w.open(ber::context(0));
    w.integer(32);
    return w.take();
}

TEST(Glow, NestedElementsMakeThePathFromTheirNumbers) {
    std::vector<Request> requests;
    QString error;
    EXPECT_TRUE(glow::decode_requests(nested_nodes(12), requests, error)) << error.toStdString();
    EXPECT_EQ(requests, (std::vector<Request>{command(glow::Path(12, 1))}));
}

TEST(Glow, RefusesWhatIsNotGlowAndActsOnNoneOfIt) {
    const std::pair<const char*, QByteArray> cases[] = {
        {"nothing", {}},
        {"a bare INTEGER", QByteArray::fromHex("020100")},
        {"a root cut off", QByteArray::fromHex("60106b0ea00c620aa0030201")},
        {"a node without its number", QByteArray::fromHex("60136b11a0076205a003020120a0066304a1023100")},
        {"a qualified node with an empty path",
         QByteArray::fromHex("60176b15a0136a11a0020d00a20b6409a0076205a003020120")},
        {"a command without its number", QByteArray::fromHex("600b6b09a0076205a103020100")},
        {"nodes nested past the depth limit", nested_nodes(16)},
        {"an operation of 7",
         QByteArray::fromHex("601e6b1ca01a7118a0040d020105a510300ea00c700aa003020102a203020107")},
    };
    for (const auto& [what, bytes] : cases) {
        std::vector<Request> requests{command({9})};
        QString error;
        EXPECT_FALSE(glow::decode_requests(bytes, requests, error)) << what;
        EXPECT_FALSE(error.isEmpty()) << what;
        EXPECT_TRUE(requests.empty()) << what;
    }
}

} // namespace

namespace {

TEST(Glow, WritesAnswersByteForByteAsNodeEmberplusEncodesThem) {
    glow::RootWriter w;
    w.node({1}, {QStringLiteral("unit"), QStringLiteral("Unit 1"), true, true});
    glow::ParameterContents p;
    p.identifier = QStringLiteral("gain");
    p.value = int64_t{-6};
    p.minimum = -60;
    p.maximum = 12;
    p.access = glow::Access::read_write;
    p.format = QStringLiteral("%d dB");
    p.is_online = true;
    p.type = glow::ParameterType::integer;
    w.parameter({1, 2, 3}, p);
    glow::MatrixContents m;
    m.identifier = QStringLiteral("routing");
    m.with_type = true;
    m.target_count = 4;
    m.source_count = 8;
    m.maximum_connects_per_target = 1;
    m.labels = {{{1, 6}, QStringLiteral("Names")}};
    w.matrix({1, 5}, m, {{0, {3}, glow::ConnectionOperation::absolute, glow::ConnectionDisposition::tally}});
    // node-emberplus 3.0.8 encoding the same QualifiedNode, QualifiedParameter and QualifiedMatrix.
    EXPECT_EQ(
        w.finish().toHex().toStdString(),
        "6081ca6b81c7a0276a25a0030d0101a11e311ca0060c04756e6974a1080c06556e69742031a2030101ffa3030101ffa03c"
        "693aa0050d03010203a131312fa0060c046761696ea2030201faa3030201c4a40302010ca503020103a6070c052564206442"
        "a9030101ffad03020101a05e715ca0040d020105a13d313ba0090c07726f7574696e67a203020100a303020100a403020104"
        "a503020108a703020101aa153013a011720fa0040d020106a1070c054e616d6573a5153013a011700fa003020100a1030d01"
        "03a303020100");
    EXPECT_TRUE(w.empty());
}

} // namespace

TEST(Glow, CommandsWrittenAsAConsumerSendsThemReadBack) {
    glow::RootWriter w;
    w.command({}, glow::CommandNumber::get_directory);
    w.command({1, 2}, glow::CommandNumber::subscribe);
    std::vector<glow::Request> requests;
    QString error;
    ASSERT_TRUE(glow::decode_requests(w.finish(), requests, error)) << error.toStdString();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].path.empty());
    EXPECT_EQ(requests[0].command, glow::CommandNumber::get_directory);
    EXPECT_EQ(requests[1].path, (glow::Path{1, 2}));
    EXPECT_EQ(requests[1].command, glow::CommandNumber::subscribe);
}
