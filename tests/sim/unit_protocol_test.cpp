// The virtual unit as the utility meets it: the built library, the utility's framing and reassembly.
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"
#include "sim/virtual_unit.h"
#include "tests/hidlib/loaded_module.h"
#include "tests/support/wait.h"

#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// What the library's handlers saw; they are plain functions, so this is global.
struct Inbox {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Bytes> raw;     // every input report
    std::deque<Bytes> messages; // those the utility's reassembly verified
    Reassembler reassembler;    // input thread only
    std::atomic<int> changes{0};
    std::atomic<bool> changes_on_loading_thread{true};
} inbox;
Qt::HANDLE loading_thread = nullptr;

void on_input(THIDreport report, uint8_t) {
    auto message = inbox.reassembler.feed(report);
    std::lock_guard lock(inbox.m);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&report);
    inbox.raw.emplace_back(bytes, bytes + sizeof report);
    if (message) {
        message->resize(5 + ((*message)[1] << 8 | (*message)[2])); // the reassembly keeps whole chunks
        inbox.messages.push_back(std::move(*message));
    }
    inbox.cv.notify_all();
}

void on_change() {
    ++inbox.changes;
    if (QThread::currentThreadId() != loading_thread)
        inbox.changes_on_loading_thread = false;
}

Bytes block_of(uint8_t address_hi, std::size_t n, uint8_t seed) {
    Bytes payload{address_hi, 0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
    for (std::size_t i = 0; i < n; ++i)
        payload.push_back(static_cast<uint8_t>(seed + i * 13));
    return payload;
}

Bytes page_of(const Bytes& memory, std::size_t address, std::size_t n = unit_page_size) {
    return {memory.begin() + static_cast<std::ptrdiff_t>(address),
            memory.begin() + static_cast<std::ptrdiff_t>(address + n)};
}

template <class F> UnitFaults faults(F set) {
    UnitFaults f;
    set(f);
    return f;
}

UnitOptions options(UnitMode mode = UnitMode::normal, UnitFaults faults = {}) {
    UnitOptions o;
    o.serial = "T-42";
    o.version = 0x0A03;
    o.mode = mode;
    o.restart_delay = 20ms;
    o.faults = faults;
    return o;
}

// The utility's side: the library loaded by name, its handlers registered, the unit found by its maker.
class Host : public ::testing::Test {
protected:
    void SetUp() override {
        loading_thread = QThread::currentThreadId();
        {
            // The library of an earlier test in this process is unloaded: no input thread runs.
            std::lock_guard lock(inbox.m);
            inbox.raw.clear();
            inbox.messages.clear();
            inbox.reassembler = {};
        }
        lib.HIDsetEventHandler(&on_input);
        lib.USBsetEventHandler(&on_change);
    }

    std::optional<THIDdeviceInfo> find_unit() {
        const uint8_t n = lib.HIDscanForDevices();
        for (uint8_t i = 0; i < n; ++i)
            if (const THIDdeviceInfo info = lib.info(i); text(info.Manufacturer) == "VOK-RZ") {
                index = i;
                return info;
            }
        return std::nullopt;
    }
    bool open_unit() { return find_unit() && lib.HIDopenDevice(index); }
    // Runs the event loop until the library has reported a change and a scan shows this product.
    bool wait_product(const std::string& product) {
        const int before = inbox.changes;
        return wait_for([&] {
            const auto info = find_unit();
            return inbox.changes > before &&
                   (product.empty() ? !info : info && text(info->Product) == product);
        });
    }

    // As the utility sends: the result is that of the last report.
    bool send(uint8_t cmd, const Bytes& payload = {}) {
        bool result = false;
        cut_reports(build_message(cmd, payload),
                    [&](const Report& r) { result = lib.HIDSetOutputReport(r.data()); });
        return result;
    }
    bool send_raw(Report r) { return lib.HIDSetOutputReport(r.data()) != 0; }

    std::optional<Bytes> reply() {
        std::unique_lock lock(inbox.m);
        if (!inbox.cv.wait_for(lock, 5s, [] { return !inbox.messages.empty(); }))
            return std::nullopt;
        Bytes m = std::move(inbox.messages.front());
        inbox.messages.pop_front();
        return m;
    }
    bool raw_reports(std::size_t n) {
        std::unique_lock lock(inbox.m);
        return inbox.cv.wait_for(lock, 5s, [&] { return inbox.raw.size() >= n; });
    }
    std::size_t messages_waiting() {
        std::lock_guard lock(inbox.m);
        return inbox.messages.size();
    }

    // The first 17 payload bytes of a settings reply.
    static TparBytes block(const Bytes& m) {
        TparBytes b;
        std::copy_n(m.begin() + 3, b.size(), b.begin());
        return b;
    }

    // The update procedure's blocks: erase before each flash block, 512 bytes padded with FF.
    void send_image(uint8_t cmd, const Bytes& image) {
        for (std::size_t at = 0; at < image.size(); at += unit_page_size) {
            Bytes payload{static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at & 0xFF), 0x02, 0x00};
            const std::size_t n = std::min(unit_page_size, image.size() - at);
            payload.insert(payload.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                           image.begin() + static_cast<std::ptrdiff_t>(at + n));
            payload.resize(4 + unit_page_size, 0xFF);
            if (cmd == cmd_write_flash)
                send(cmd_erase, {payload[0], payload[1]});
            EXPECT_TRUE(send(cmd, payload)) << "block at " << at;
        }
    }

    LoadedModule lib;
    uint8_t index = 0;
};

} // namespace

TEST_F(Host, TheUnitIdentifiesItselfInEitherMode) {
    for (UnitMode mode : {UnitMode::normal, UnitMode::boot}) {
        VirtualUnit unit(options(mode));
        ASSERT_TRUE(unit.plug()) << unit.error();
        // The second unit comes after the first scan: it is listed once its answer has raised a change.
        std::optional<THIDdeviceInfo> info;
        ASSERT_TRUE(wait_for([&] { return (info = find_unit()).has_value(); }));
        EXPECT_EQ(text(info->Product), mode == UnitMode::boot ? "RV-390PKTA(boot)" : "RV-390PKTA");
        EXPECT_EQ(text(info->SerialNumber), "T-42");
        EXPECT_EQ(info->VersionNumber, 0x0A03);
        EXPECT_EQ(info->OutputReportByteLength, 65);
        EXPECT_EQ(info->InputReportByteLength, 65);
        EXPECT_EQ(info->CanReadWrite, 1);
        EXPECT_NE(info->VendorID, 0);
    }
}

TEST_F(Host, SettingsArePolledAsHeldAndWrittenNormalised) {
    UnitOptions o = options();
    o.settings = {6, 7, 4, 25, 20, 255, 0, 0, 0, 0, 0, 5, 5, 50, 7, 5, 9}; // held as given
    VirtualUnit unit(o);
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());

    ASSERT_TRUE(send(cmd_get_par));
    auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], cmd_get_par);
    EXPECT_EQ((*m)[2], 17);
    EXPECT_EQ(block(*m), o.settings);
    {
        // One report: offset 0, total 0.
        std::lock_guard lock(inbox.m);
        ASSERT_EQ(inbox.raw.size(), 1u);
        EXPECT_EQ(Bytes(inbox.raw[0].begin(), inbox.raw[0].begin() + 5), (Bytes{1, 0, 0, 0, 0}));
    }

    // The utility's ranges, and the unit's own: xlr_gain -32..16, headroom 0..32, agr 0/1.
    ASSERT_TRUE(send(cmd_set_par, {6, 7, 4, 25, 20, 255, 0, 0, 0, 0, 0, 0x80, 5, 50, 7, 5, 9}));
    const TparBytes stored{2, 3, 0, 5, 0, 15, 0, 0, 0, 0, 0, 0xE0, 0, 32, 1, 2, 1};
    m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], cmd_set_par);
    EXPECT_EQ(block(*m), stored);
    EXPECT_EQ(unit.settings(), stored);
    ASSERT_TRUE(send(cmd_set_par, {0, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 0x7F, 0xEE, 0xFF, 1, 2, 0}));
    m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(block(*m)[11], 16);
    EXPECT_EQ(block(*m)[13], 0);
}

TEST_F(Host, MalformedMessagesAreIgnoredAndTheNextGoodOneAnswered) {
    VirtualUnit unit(options());
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const TparBytes before = unit.settings();
    const Bytes set = build_message(cmd_set_par, Bytes(17, 1));
    std::vector<Report> reports;
    cut_reports(set, [&](const Report& r) { reports.push_back(r); });

    Report bad_crc = reports[0];
    bad_crc[5 + set.size() - 1] ^= 1;
    Report bad_length = reports[0];
    bad_length[5 + 2] = 16; // the length field disagrees with the total
    Report beyond = reports[0];
    beyond[2] = 22; // offset 22 of a 22-byte message
    Report wrong_id = reports[0];
    wrong_id[0] = 2;
    for (const Report& r : {bad_crc, bad_length, beyond, wrong_id})
        send_raw(r);
    // A well-formed set_par of the wrong size is received but ignored.
    send(cmd_set_par, Bytes(16, 1));
    // Out of order: the second report of a flash write before its first.
    const Bytes write = build_message(cmd_write_flash, block_of(0, 512, 1));
    std::vector<Report> parts;
    cut_reports(write, [&](const Report& r) { parts.push_back(r); });
    send_raw(parts[1]);

    ASSERT_TRUE(send(cmd_get_par));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], cmd_get_par);
    EXPECT_EQ(unit.settings(), before);
    const auto log = unit.commands();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, cmd_set_par);
    EXPECT_EQ(log[0].payload.size(), 16u);
    EXPECT_EQ(log[1].code, cmd_get_par);
    EXPECT_EQ(messages_waiting(), 0u);
}

TEST_F(Host, AnUpdatePollRestartsIntoTheBootLoaderAndFinishBringsItBack) {
    VirtualUnit unit(options());
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    ASSERT_TRUE(send(cmd_upd_poll));
    ASSERT_TRUE(wait_product("RV-390PKTA(boot)"));
    EXPECT_TRUE(inbox.changes_on_loading_thread);
    EXPECT_TRUE(unit.wait_for_restarts(1, 5s));
    EXPECT_EQ(text(find_unit()->SerialNumber), "T-42");

    // The boot loader does not answer settings commands, nor another update poll.
    ASSERT_TRUE(lib.HIDopenDevice(index));
    send(cmd_get_par);
    send(cmd_set_par, Bytes(17, 0));
    send(cmd_upd_poll);
    ASSERT_TRUE(send(cmd_finish));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_finish, Bytes{1}));
    ASSERT_TRUE(wait_product("RV-390PKTA"));
    EXPECT_TRUE(unit.wait_for_restarts(2, 5s));
    EXPECT_EQ(unit.settings(), to_bytes(default_par));

    // cmd_upd_close leaves the boot loader without a word.
    ASSERT_TRUE(lib.HIDopenDevice(index));
    send(cmd_upd_poll);
    ASSERT_TRUE(wait_product("RV-390PKTA(boot)"));
    ASSERT_TRUE(lib.HIDopenDevice(index));
    ASSERT_TRUE(send(cmd_upd_close));
    ASSERT_TRUE(wait_product("RV-390PKTA"));
    EXPECT_EQ(messages_waiting(), 0u);
}

TEST_F(Host, TheNormalFirmwareIgnoresBootLoaderCommands) {
    VirtualUnit unit(options());
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const Bytes flash = unit.flash();
    send(cmd_erase, {0, 0});
    send(cmd_write_flash, block_of(0, 512, 1));
    send(cmd_defaults);
    send(cmd_finish);
    send(cmd_upd_close);
    ASSERT_TRUE(send(cmd_get_par));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], cmd_get_par);
    EXPECT_EQ(unit.flash(), flash);
    EXPECT_EQ(unit.command_count(), 6u);
    EXPECT_EQ(unit.restarts(), 0u);
}

TEST_F(Host, AnUpdateLandsByteForByteWithItsPadding) {
    VirtualUnit unit(options(UnitMode::boot));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const Bytes factory = unit.flash();
    Bytes flash(1300), eeprom(700);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = static_cast<uint8_t>(i * 5 + 3);
    for (std::size_t i = 0; i < eeprom.size(); ++i)
        eeprom[i] = static_cast<uint8_t>(i ^ 0x5A);
    send_image(cmd_write_flash, flash);
    send_image(cmd_write_eep, eeprom);
    ASSERT_TRUE(send(cmd_finish));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_finish, Bytes{1}));
    ASSERT_TRUE(unit.wait_for_restarts(1, 5s));
    EXPECT_EQ(unit.mode(), UnitMode::normal);

    Bytes flash_expected = flash;
    flash_expected.resize(3 * unit_page_size, 0xFF);
    EXPECT_EQ(page_of(unit.flash(), 0, 3 * unit_page_size), flash_expected);
    EXPECT_EQ(page_of(unit.flash(), 3 * unit_page_size), page_of(factory, 3 * unit_page_size));
    Bytes eeprom_expected = eeprom;
    eeprom_expected.resize(2 * unit_page_size, 0xFF);
    EXPECT_EQ(page_of(unit.eeprom(), 0, 2 * unit_page_size), eeprom_expected);
    EXPECT_EQ(page_of(unit.eeprom(), 2 * unit_page_size), Bytes(unit_page_size, 0));
    EXPECT_EQ(unit.session().write_blocks, 5u);
    EXPECT_EQ(unit.last_update(), true);
}

TEST_F(Host, TheBootLoaderRefusesWritesItCannotCarryOutAndReportsFailure) {
    VirtualUnit unit(options(UnitMode::boot));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const Bytes factory = unit.flash();
    ASSERT_TRUE(send(cmd_erase, {0x02, 0x34})); // any address in the page erases the whole page
    EXPECT_EQ(page_of(unit.flash(), 0x200), Bytes(unit_page_size, 0xFF));
    EXPECT_EQ(page_of(unit.flash(), 0x000), page_of(factory, 0x000));

    EXPECT_TRUE(send(cmd_write_flash, block_of(0x02, 512, 7)));
    EXPECT_FALSE(send(cmd_write_flash, block_of(0x04, 512, 7))); // not erased
    EXPECT_FALSE(send(cmd_write_eep, block_of(0x10, 512, 7)));   // past the 4 KiB EEPROM
    EXPECT_TRUE(send(cmd_write_eep, block_of(0x0E, 512, 7)));    // its last block
    send(cmd_erase, {0xFF, 0x00});
    EXPECT_FALSE(send(cmd_write_flash, block_of(0xFF, 512, 7))); // past 64 KiB
    Bytes short_block = block_of(0x02, 512, 7);
    short_block.pop_back(); // length field 512, 511 data bytes
    EXPECT_FALSE(send(cmd_write_flash, short_block));
    EXPECT_EQ(page_of(unit.flash(), 0x400), page_of(factory, 0x400));
    EXPECT_EQ(unit.session().refused, 4u);

    ASSERT_TRUE(send(cmd_finish));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_finish, Bytes{0}));
}

TEST_F(Host, DefaultsAreRestoredInTheBootLoaderAndSurviveARestart) {
    UnitOptions o = options(UnitMode::boot);
    o.settings.fill(1);
    VirtualUnit unit(o);
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    ASSERT_TRUE(send(cmd_defaults));
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_defaults, {}));
    send(cmd_upd_close);
    ASSERT_TRUE(wait_product("RV-390PKTA"));
    ASSERT_TRUE(lib.HIDopenDevice(index));
    ASSERT_TRUE(send(cmd_get_par));
    const auto polled = reply();
    ASSERT_TRUE(polled);
    EXPECT_EQ(block(*polled), to_bytes(default_par));
}

// Each fault does what it says, and the unit behaves again once it is switched off.
TEST_F(Host, FaultDropEveryNthReport) {
    VirtualUnit unit(options(UnitMode::normal, faults([](UnitFaults& f) { f.drop_every = 2; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    for (int i = 0; i < 3; ++i)
        send(cmd_get_par); // the second is lost
    EXPECT_EQ(unit.command_count(), 2u);
    EXPECT_TRUE(reply());
    EXPECT_TRUE(reply());
    EXPECT_EQ(messages_waiting(), 0u);
}

TEST_F(Host, FaultsThatSpoilRepliesMakeTheUtilityDropThem) {
    VirtualUnit unit(options(UnitMode::normal, faults([](UnitFaults& f) { f.corrupt_crc = true; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    send(cmd_get_par);
    ASSERT_TRUE(raw_reports(1));
    unit.set_faults(faults([](UnitFaults& f) { f.wrong_length = true; }));
    send(cmd_get_par);
    ASSERT_TRUE(raw_reports(2));
    unit.set_faults({});
    send(cmd_get_par);
    ASSERT_TRUE(reply());
    std::lock_guard lock(inbox.m);
    ASSERT_EQ(inbox.raw.size(), 3u);
    EXPECT_EQ(inbox.messages.size(), 0u); // only the last reply got through
    const Bytes& corrupt = inbox.raw[0];
    EXPECT_NE(corrupt[5 + 20] << 8 | corrupt[5 + 21], crc16(&corrupt[5], 20));
    const Bytes& long_field = inbox.raw[1];
    EXPECT_EQ(long_field[5 + 2], 18);
}

TEST_F(Host, RandomFaultsHappenAsOftenAsAskedAndRepeatWithTheirSeed) {
    const UnitFaults f = faults([](UnitFaults& f) {
        f.late_answer_max = 20ms;
        f.late_answer_percent = 50;
        f.drop_reply_percent = 30;
        f.corrupt_reply_percent = 30;
        f.seed = 7;
    });
    VirtualUnit unit(options(UnitMode::normal, f));
    std::mutex m;
    std::vector<std::string> lines; // a command's fault lines are told before its transfer ends
    unit.on_event = [&](const UnitEvent& e) {
        std::lock_guard lock(m);
        if (e.kind == UnitEvent::Kind::fault)
            lines.push_back(e.line);
    };
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const auto run = [&] {
        std::lock_guard lock(m);
        std::vector<std::string> seen = std::move(lines);
        lines.clear();
        return seen;
    };
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(send(cmd_get_par));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::vector<std::string> first = run();

    std::size_t late = 0, not_sent = 0, wrong = 0;
    std::chrono::milliseconds waited{0};
    for (const std::string& line : first) {
        if (line.ends_with(" ms late")) {
            ++late;
            waited += std::chrono::milliseconds(std::stoi(line.substr(line.find("answer ") + 7)));
        }
        not_sent += line.ends_with("not sent");
        wrong += line.ends_with("wrong CRC");
    }
    EXPECT_GT(late, 0u);
    EXPECT_GT(not_sent, 0u);
    EXPECT_GT(wrong, 0u);
    EXPECT_LE(waited, late * 20ms);
    EXPECT_GE(elapsed, waited); // the answers really came that late
    // Only the replies sent whole get through the utility's check.
    ASSERT_TRUE(raw_reports(40 - not_sent));
    EXPECT_EQ(messages_waiting(), 40 - not_sent - wrong);

    unit.set_faults(f); // the random source starts again
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(send(cmd_get_par));
    EXPECT_EQ(run(), first);
}

TEST_F(Host, FaultsOfTheUpdatePath) {
    // silent finish: no reply and no restart; the boot loader still answers what follows.
    VirtualUnit unit(options(UnitMode::boot, faults([](UnitFaults& f) { f.silent_finish = true; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    send(cmd_finish);
    send(cmd_defaults);
    auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], cmd_defaults);
    EXPECT_EQ(unit.mode(), UnitMode::boot);

    // refused writes fail the host's send, and the finish reports failure.
    unit.set_faults(faults([](UnitFaults& f) { f.refuse_writes = true; }));
    send(cmd_erase, {0, 0});
    EXPECT_FALSE(send(cmd_write_flash, block_of(0, 512, 1)));
    EXPECT_EQ(page_of(unit.flash(), 0), Bytes(unit_page_size, 0xFF));

    // a good update reported as failed.
    unit.set_faults(faults([](UnitFaults& f) { f.fail_update = true; }));
    const unsigned restarts = unit.restarts();
    unit.restart(UnitMode::boot);
    // The product does not change: only the unit's own count tells the restart is over.
    ASSERT_TRUE(unit.wait_for_restarts(restarts + 1, 5s));
    ASSERT_TRUE(wait_product("RV-390PKTA(boot)"));
    ASSERT_TRUE(lib.HIDopenDevice(index));
    send_image(cmd_write_flash, Bytes(10, 0x11));
    send(cmd_finish);
    m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_finish, Bytes{0}));
}

TEST_F(Host, FaultTheLinkDropsAfterNBlocks) {
    VirtualUnit unit(options(UnitMode::boot, faults([](UnitFaults& f) { f.unplug_after_blocks = 2; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    send_image(cmd_write_flash, Bytes(1024, 0x22));
    ASSERT_TRUE(unit.wait_for_plugged(false, 5s));
    ASSERT_TRUE(wait_product(""));
    EXPECT_FALSE(send(cmd_write_flash, block_of(0x04, 512, 1)));

    // Plugged back, the boot loader starts afresh: the old erase marks are gone.
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(wait_product("RV-390PKTA(boot)"));
    ASSERT_TRUE(lib.HIDopenDevice(index));
    EXPECT_FALSE(send(cmd_write_flash, block_of(0x00, 512, 1)));
}

TEST_F(Host, FaultASlowLinkTakesItsTimePerReport) {
    VirtualUnit unit(options(UnitMode::boot, faults([](UnitFaults& f) { f.report_delay = 15ms; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    const auto start = std::chrono::steady_clock::now();
    send(cmd_erase, {0, 0});
    EXPECT_TRUE(send(cmd_write_flash, block_of(0, 512, 1))); // 9 reports
    // 10 reports in 15 ms frames: the first may end with the frame it arrived in, the others take one each.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9 * 15ms);
    send(cmd_defaults);
    EXPECT_TRUE(reply());
}

TEST_F(Host, ARetryFromFlashAddressZeroAfterARefusedWriteIsJudgedOnItsOwn) {
    VirtualUnit unit(options(UnitMode::boot, faults([](UnitFaults& f) { f.refuse_writes = true; })));
    ASSERT_TRUE(unit.plug());
    ASSERT_TRUE(open_unit());
    send(cmd_erase, {0, 0});
    EXPECT_FALSE(send(cmd_write_flash, block_of(0, 512, 1)));
    unit.set_faults({});
    send_image(cmd_write_flash, Bytes(600, 0x33)); // starts again with the erase of address 0
    send(cmd_finish);
    const auto m = reply();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, build_message(cmd_finish, Bytes{1}));
}
