// The settings block: sanitising received blocks, the default block, and queuing writes.
#include "core/mailbox.h"
#include "protocol/commands.h"
#include "tests/support/worker.h"
#include "ui/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using DefaultBlock = LinkTest;
using Sanitise = LinkTest;
using Save = LinkTest;

namespace {

Tpar block(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> b(bytes);
    return from_bytes(std::span<const uint8_t, 17>(b.data(), 17));
}

std::vector<uint8_t> bytes(const Tpar& p) {
    const auto b = to_bytes(p);
    return {b.begin(), b.end()};
}

Tpar sanitised(Tpar p) {
    sanitise(p);
    return p;
}

} // namespace

TEST_F(Sanitise, MasksWrapsAndClampsAReceivedBlockLeavingGainHeadroomAndAgrAlone) {
    const Tpar wild = block({0x06, 0x07, 0x04, 0x19, 0x14, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x05,
                             0x32, 0x07, 0x05, 0x09});
    EXPECT_EQ(bytes(sanitised(wild)), bytes(block({0x02, 0x03, 0x00, 0x05, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x00,
                                                   0x00, 0x05, 0x00, 0x32, 0x01, 0x02, 0x09})));
}

TEST_F(Sanitise, KeepsDb0BetweenMinus32AndZero) {
    const auto db0_after = [](uint8_t stored) {
        Tpar p{};
        p.db0 = static_cast<int8_t>(stored);
        return static_cast<uint8_t>(sanitised(p).db0);
    };
    EXPECT_EQ(db0_after(128), 224); // -128 -> -32
    EXPECT_EQ(db0_after(223), 224); // -33 -> -32
    EXPECT_EQ(db0_after(224), 224);
    EXPECT_EQ(db0_after(238), 238);
    EXPECT_EQ(db0_after(0), 0);
    EXPECT_EQ(db0_after(1), 0);
    EXPECT_EQ(db0_after(127), 0);
}

TEST_F(Sanitise, WrapsIndicatorsModuloThreeAndLeavesEqualGroupsEqual) {
    Tpar p{};
    p.ind = 3;
    EXPECT_EQ(sanitised(p).ind, 0);
    p.ind = 255;
    EXPECT_EQ(sanitised(p).ind, 0);
    p.ind = 5;
    EXPECT_EQ(sanitised(p).ind, 2);
    p.group[0] = p.group[1] = 6;
    const Tpar s = sanitised(p);
    EXPECT_EQ(s.group[0], 2);
    EXPECT_EQ(s.group[1], 2);
}

TEST_F(DefaultBlock, IsTheFactorySettingsOfTheUnit) {
    EXPECT_EQ(bytes(default_par), bytes(block({0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                               0x07, 0x00, 0xEE, 0x0A, 0x01, 0x02, 0x00})));
    EXPECT_EQ(bytes(sanitised(default_par)), bytes(default_par));
}

TEST(SharedPar, IsAllZeroUntilTheFirstReply) {
    TestLink t;
    Link& link = t.link;
    EXPECT_EQ(bytes(link.par.get()), std::vector<uint8_t>(17, 0));
}

TEST(SharedPar, ReadersNeverSeeHalfOfOneBlockAndHalfOfAnother) {
    TestLink t;
    Link& link = t.link;
    // Two writers store blocks whose bytes are all equal; every block read must be uniform.
    std::atomic<bool> done{false};
    const auto uniform = [](uint8_t v) {
        std::vector<uint8_t> b(17, v);
        return from_bytes(std::span<const uint8_t, 17>(b.data(), 17));
    };
    std::thread a([&] {
        for (int i = 0; i < 20000; ++i)
            link.par.set(uniform(1));
    });
    std::thread b([&] {
        for (int i = 0; i < 20000; ++i)
            link.par.change([](Tpar& p) { std::memset(&p, 2, sizeof p); });
    });
    int torn = 0;
    std::thread reader([&] {
        while (!done) {
            const auto got = bytes(link.par.get());
            torn += std::all_of(got.begin(), got.end(), [&](uint8_t v) { return v == got[0]; }) ? 0 : 1;
        }
    });
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(Save, QueuesAWriteOfParOnlyOnceTheOpenUnitsOwnBlockHasArrived) {
    link.save(); // nothing from the unit yet: `par` is not its settings
    EXPECT_FALSE(link.mailbox.pending());

    link.gate.unit_opened(false);
    link.gate.reply_arrived();
    ASSERT_TRUE(link.gate.refreshed());
    link.par.edit([](Tpar& p) { p.headroom = 9; });
    link.save();
    ASSERT_TRUE(link.mailbox.pending());
    // The write carries the block as it stood when it was queued, with its edit.
    link.par.change([](Tpar& p) { p.headroom = 10; });
    std::vector<Request> seen;
    std::thread worker([&] {
        link.mailbox.serve([&](const Request& r) {
            seen.push_back(r);
            link.mailbox.stop();
            return true;
        });
    });
    worker.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cmd, cmd_set_par);
    EXPECT_EQ(seen[0].edit, 1u);
    ASSERT_EQ(seen[0].data.size(), sizeof(Tpar));
    EXPECT_EQ(seen[0].data[13], 9);
}

TEST(SettingsGate, OpensWithTheFirstReplyAfterAUnitIsOpenedAndStaysOpenForTheSameUnit) {
    TestLink t;
    Link& link = t.link;
    link.gate.reply_arrived(); // a reply from before any unit was opened
    link.gate.unit_opened(false);
    EXPECT_FALSE(link.gate.refreshed());
    EXPECT_FALSE(link.gate.valid());

    link.gate.reply_arrived();
    EXPECT_TRUE(link.gate.refreshed());
    EXPECT_FALSE(link.gate.refreshed()); // only the first refresh opens it
    EXPECT_TRUE(link.gate.valid());

    link.gate.unit_opened(true); // rediscovery of the same unit
    EXPECT_TRUE(link.gate.valid());

    link.gate.unit_opened(false); // another unit
    EXPECT_FALSE(link.gate.valid());
    link.gate.reply_arrived();
    EXPECT_TRUE(link.gate.refreshed());

    link.gate.unit_closed();
    EXPECT_FALSE(link.gate.valid());
    link.gate.unit_opened(true); // the same unit again, but the block was given up meanwhile
    EXPECT_FALSE(link.gate.valid());
}

TEST(SharedPar, ABlockOlderThanTheLatestWriteDoesNotUndoIt) {
    TestLink t;
    Link& link = t.link;
    link.gate.unit_opened(false);
    link.gate.reply_arrived();
    ASSERT_TRUE(link.gate.refreshed());
    const auto received = [&](const Tpar& p, bool echo) {
        const TparBytes b = to_bytes(p);
        link.par.set_received(std::span<const uint8_t, 17>(b.data(), 17), echo);
    };
    const auto write = [&] {
        uint64_t edit = 0;
        const Tpar sent = link.par.take_for_writing(edit);
        link.par.written(edit, sent, true);
        return sent;
    };
    received(default_par, false);
    link.par.edit([](Tpar& p) { p.but = 1; });
    const Tpar first = write();
    link.par.edit([](Tpar& p) { p.src[0] = 5; });
    const Tpar second = write();

    // Each came in after the second write went through, but left the unit before it took that write.
    received(default_par, false); // a poll's answer
    received(first, true);        // the first write's answer
    EXPECT_EQ(bytes(link.par.get()), bytes(second));

    received(second, true); // the unit's answer to the latest write...
    Tpar panel = second;    // ...and from then on what the unit reports is taken
    panel.db0 = -9;
    received(panel, false);
    EXPECT_EQ(bytes(link.par.get()), bytes(panel));
}
