// hidraw backend tests against a fake sysfs tree.
#include "hidlib/platform.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <linux/netlink.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace hidraw = platform::hidraw;

namespace {

using namespace std::string_literals;

using Files = std::map<std::string, std::string>;

// A root holding sys/ and dev/ laid out like the kernel's, pointed at by the backend for one test.
class FakeRoot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = fs::path(dir_.path().toStdString());
        fs::create_directories(root_ / "sys" / "class" / "hidraw");
        fs::create_directories(root_ / "dev");
        hidraw::set_root(root_.string());
    }
    void TearDown() override { hidraw::set_root(""); }

    static void write_files(const fs::path& dir, const Files& files) {
        fs::create_directories(dir);
        for (const auto& [name, content] : files)
            std::ofstream(dir / name, std::ios::binary) << content;
    }

    // The host controller's root hub: it carries device ids too, so a probe must stop at the nearest.
    fs::path usb_bus() {
        fs::path bus = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1";
        write_files(bus, {{"idVendor", "1d6b\n"},
                          {"idProduct", "0002\n"},
                          {"bcdDevice", "0606\n"},
                          {"manufacturer", "Linux 6.1.0 xhci-hcd\n"},
                          {"product", "xHCI Host Controller\n"},
                          {"serial", "0000:00:14.0\n"}});
        return bus;
    }

    // A USB device on port `port` with the given attribute files; returns its first interface folder.
    fs::path usb_interface(const std::string& port, const Files& attributes) {
        fs::path device = usb_bus() / port;
        write_files(device, attributes);
        fs::path interface = device / (port + ":1.0");
        write_files(interface, {{"bInterfaceClass", "03\n"}, {"bInterfaceNumber", "00\n"}});
        return interface;
    }

    // A HID device folder under `parent` with its hidraw node, linked from class/hidraw as the kernel does.
    void hid_device(const fs::path& parent, const std::string& name, int minor, const std::string& uevent,
                    const std::string& descriptor) {
        fs::path device = parent / name;
        write_files(device, {{"uevent", uevent}, {"report_descriptor", descriptor}});
        std::string node = "hidraw" + std::to_string(minor);
        fs::path node_dir = device / "hidraw" / node;
        write_files(node_dir, {{"dev", "247:" + std::to_string(minor) + "\n"}});
        fs::create_directory_symlink(fs::path("../../..") / name, node_dir / "device");
        fs::path class_dir = root_ / "sys/class/hidraw";
        fs::create_directory_symlink(fs::relative(node_dir, class_dir), class_dir / node);
    }

    std::string node_path(int minor) const {
        return (root_ / "dev" / ("hidraw" + std::to_string(minor))).string();
    }

    // dev/hidrawN as a plain file: it opens, and the hidraw ioctls fail on it.
    std::string add_node(int minor) {
        std::string path = node_path(minor);
        std::ofstream(path, std::ios::binary) << "";
        return path;
    }

    QTemporaryDir dir_;
    fs::path root_;
};

const std::string kDescriptor = "\x05\x01\x09\x06\xa1\x01\x85\x01\x0a\x00\x00\xc0"s; // holds '\n' and NULs

std::string uevent(const std::string& id, const std::string& name, const std::string& uniq) {
    return "DRIVER=hid-generic\nHID_ID=" + id + "\nHID_NAME=" + name +
           "\nHID_PHYS=usb-0000:00:14.0-1/input0\n" + "HID_UNIQ=" + uniq +
           "\nMODALIAS=hid:b0003g0001v00001234p00005678\n";
}

using HidrawProbe = FakeRoot;

TEST_F(HidrawProbe, UsbDeviceTakesItsFactsFromTheUsbDevice) {
    fs::path interface = usb_interface("1-1", {{"idVendor", "1234\n"},
                                               {"idProduct", "5678\n"},
                                               {"bcdDevice", "0102\n"},
                                               {"manufacturer", "Acme\n"},
                                               {"product", "Console\n"},
                                               {"serial", "SN0042\n"}});
    hid_device(interface, "0003:1234:5678.0001", 0,
               uevent("0003:00001234:00005678", "Acme Console", "SN0042"), kDescriptor);
    std::string path = add_node(0);

    platform::Facts facts = hidraw::probe(path);
    EXPECT_TRUE(facts.found);
    EXPECT_TRUE(facts.read_write);
    EXPECT_TRUE(facts.attributes);
    EXPECT_EQ(facts.vendor, 0x1234);
    EXPECT_EQ(facts.product, 0x5678);
    EXPECT_EQ(facts.version, 0x0102);
    EXPECT_EQ(facts.manufacturer, "Acme");
    EXPECT_EQ(facts.product_name, "Console"); // the USB string, not the kernel's composed HID_NAME
    EXPECT_EQ(facts.serial, "SN0042");
    ASSERT_TRUE(facts.descriptor.has_value());
    EXPECT_EQ(*facts.descriptor, std::vector<uint8_t>(kDescriptor.begin(), kDescriptor.end()));
}

TEST_F(HidrawProbe, MissingUsbStringsAreAbsent) {
    fs::path interface = usb_interface(
        "1-2",
        {{"idVendor", "abcd\n"}, {"idProduct", "ef01\n"}, {"bcdDevice", "0200\n"}, {"product", "Console\n"}});
    hid_device(interface, "0003:ABCD:EF01.0002", 1, uevent("0003:0000ABCD:0000EF01", "Console", ""),
               kDescriptor);

    platform::Facts facts = hidraw::probe(add_node(1));
    EXPECT_TRUE(facts.found);
    EXPECT_TRUE(facts.attributes);
    EXPECT_EQ(facts.vendor, 0xabcd);
    EXPECT_EQ(facts.product, 0xef01);
    EXPECT_EQ(facts.version, 0x0200);
    EXPECT_EQ(facts.manufacturer, std::nullopt);
    EXPECT_EQ(facts.product_name, "Console");
    EXPECT_EQ(facts.serial, std::nullopt);
}

// A Bluetooth device sits under the USB adapter's folder: the adapter's ids must not be taken for its own.
TEST_F(HidrawProbe, BluetoothDeviceUsesItsHidIdentity) {
    fs::path adapter = usb_interface("1-9", {{"idVendor", "8087\n"},
                                             {"idProduct", "0026\n"},
                                             {"bcdDevice", "0002\n"},
                                             {"manufacturer", "Intel\n"},
                                             {"product", "Bluetooth\n"}});
    hid_device(adapter / "bluetooth/hci0/hci0:256", "0005:046D:B342.0003", 2,
               uevent("0005:0000046D:0000B342", "Wireless Panel", "aa:bb:cc:dd:ee:ff"), kDescriptor);

    platform::Facts facts = hidraw::probe(add_node(2));
    EXPECT_TRUE(facts.found);
    EXPECT_TRUE(facts.attributes);
    EXPECT_EQ(facts.vendor, 0x046d);
    EXPECT_EQ(facts.product, 0xb342);
    EXPECT_EQ(facts.version, 0);
    EXPECT_EQ(facts.manufacturer, std::nullopt);
    EXPECT_EQ(facts.product_name, "Wireless Panel");
    EXPECT_EQ(facts.serial, "aa:bb:cc:dd:ee:ff");
    EXPECT_TRUE(facts.descriptor.has_value());
}

TEST_F(HidrawProbe, NonUsbDevicesWithoutUniqHaveNoSerial) {
    // An I2C touchpad, and a uhid device that claims the USB bus but has no USB device above it.
    hid_device(root_ / "sys/devices/pci0000:00/0000:00:15.0/i2c_designware.0/i2c-1/i2c-ELAN0001:00",
               "0018:04F3:3140.0004", 3, uevent("0018:000004F3:00003140", "ELAN0001:00 04F3:3140", ""),
               kDescriptor);
    hid_device(root_ / "sys/devices/virtual/misc/uhid", "0003:1234:5678.0005", 4,
               uevent("0003:00001234:00005678", "Emulated Console", ""), kDescriptor);

    platform::Facts i2c = hidraw::probe(add_node(3));
    EXPECT_TRUE(i2c.found);
    EXPECT_EQ(i2c.vendor, 0x04f3);
    EXPECT_EQ(i2c.product, 0x3140);
    EXPECT_EQ(i2c.product_name, "ELAN0001:00 04F3:3140");
    EXPECT_EQ(i2c.serial, std::nullopt);

    platform::Facts uhid = hidraw::probe(add_node(4));
    EXPECT_TRUE(uhid.found);
    EXPECT_TRUE(uhid.attributes);
    EXPECT_EQ(uhid.vendor, 0x1234);
    EXPECT_EQ(uhid.product, 0x5678);
    EXPECT_EQ(uhid.version, 0);
    EXPECT_EQ(uhid.manufacturer, std::nullopt);
    EXPECT_EQ(uhid.product_name, "Emulated Console");
    EXPECT_EQ(uhid.serial, std::nullopt);
}

TEST_F(HidrawProbe, FoundOnlyWhenSysfsDescribesTheNode) {
    fs::path interface = usb_interface(
        "1-1",
        {{"idVendor", "1234\n"}, {"idProduct", "5678\n"}, {"bcdDevice", "0102\n"}, {"product", "Console\n"}});
    hid_device(interface, "0003:1234:5678.0001", 0, uevent("0003:00001234:00005678", "Console", ""),
               kDescriptor);

    // No node in dev/ (as when it cannot be opened): still described, for queries only.
    platform::Facts unopened = hidraw::probe(node_path(0));
    EXPECT_TRUE(unopened.found);
    EXPECT_FALSE(unopened.read_write);
    EXPECT_TRUE(unopened.attributes);
    EXPECT_EQ(unopened.product, 0x5678);
    EXPECT_EQ(unopened.product_name, "Console");

    // A node sysfs does not know, even one that opens, is not found.
    platform::Facts unknown = hidraw::probe(add_node(7));
    EXPECT_FALSE(unknown.found);
    EXPECT_FALSE(unknown.read_write);
    EXPECT_FALSE(unknown.attributes);

    // Without the uevent there is nothing to describe.
    fs::remove(interface / "0003:1234:5678.0001" / "uevent");
    add_node(0);
    EXPECT_FALSE(hidraw::probe(node_path(0)).found);
}

TEST_F(HidrawProbe, CharactersOutsideLatin1BecomeQuestionMarks) {
    fs::path interface = usb_interface("1-1", {{"idVendor", "1234\n"},
                                               {"idProduct", "5678\n"},
                                               {"bcdDevice", "0102\n"},
                                               {"manufacturer", "M\xC3\xBCller Ger\xC3\xA4tebau\n"},
                                               {"product", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x9B\n"},
                                               {"serial", "A\xFF"
                                                          "B\xC3\n"}}); // malformed bytes too
    hid_device(interface, "0003:1234:5678.0001", 0, uevent("0003:00001234:00005678", "x", ""), kDescriptor);
    hid_device(root_ / "sys/devices/virtual/misc/uhid", "0005:1234:0001.0002", 1,
               uevent("0005:00001234:00000001", "\xC3\x86ther \xE2\x84\xA2", "\xC3\x9F\xE2\x80\x94"),
               kDescriptor);

    platform::Facts usb = hidraw::probe(node_path(0));
    EXPECT_EQ(usb.manufacturer, "M\xFCller Ger\xE4tebau");
    EXPECT_EQ(usb.product_name, "Caf\xE9 ? ?"); // one '?' per character, also for four-byte ones
    EXPECT_EQ(usb.serial, "A?B?");

    platform::Facts bluetooth = hidraw::probe(node_path(1));
    EXPECT_EQ(bluetooth.product_name, "\xC6ther ?");
    EXPECT_EQ(bluetooth.serial, "\xDF?");
}

using HidrawList = FakeRoot;

TEST_F(HidrawList, NodesComeInNumericOrder) {
    fs::path interface =
        usb_interface("1-1", {{"idVendor", "1234\n"}, {"idProduct", "5678\n"}, {"bcdDevice", "0102\n"}});
    hid_device(interface, "0003:1234:5678.000A", 10, uevent("0003:00001234:00005678", "x", ""), kDescriptor);
    hid_device(interface, "0003:1234:5678.0002", 2, uevent("0003:00001234:00005678", "x", ""), kDescriptor);
    hid_device(interface, "0003:1234:5678.0003", 0, uevent("0003:00001234:00005678", "x", ""), kDescriptor);
    fs::create_directory(root_ / "sys/class/hidraw/hidraw");
    fs::create_directory(root_ / "sys/class/hidraw/hidrawX");
    fs::create_directory(root_ / "sys/class/hidraw/other3");

    EXPECT_EQ(hidraw::list(), (std::vector<std::string>{node_path(0), node_path(2), node_path(10)}));
}

TEST_F(HidrawList, NoClassFolderMeansNoNodes) {
    fs::remove_all(root_ / "sys/class/hidraw");
    EXPECT_TRUE(hidraw::list().empty());
    hidraw::set_root((root_ / "nowhere").string());
    EXPECT_TRUE(hidraw::list().empty());
}

using HidrawOpen = FakeRoot;

TEST_F(HidrawOpen, QueryOnlyHandleFailsEveryTransfer) {
    std::string path = add_node(0);
    std::unique_ptr<platform::Device> device = hidraw::open(path, false);
    ASSERT_NE(device, nullptr);
    EXPECT_GE(device->input_fd(), 0);

    uint8_t report[8] = {1, 2, 3};
    EXPECT_EQ(device->read_input(report, sizeof report), -1);
    EXPECT_FALSE(device->write(report, sizeof report, 0));
    EXPECT_FALSE(device->set_output(report, sizeof report));
    EXPECT_FALSE(device->get_input(report, sizeof report));
    EXPECT_FALSE(device->set_feature(report, sizeof report));
    EXPECT_FALSE(device->get_feature(report, sizeof report));

    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(file.peek(), std::ifstream::traits_type::eof()) << "nothing may reach the node";
}

TEST_F(HidrawOpen, MissingNodeGivesNoHandle) {
    EXPECT_EQ(hidraw::open(node_path(5), true), nullptr);
    EXPECT_EQ(hidraw::open(node_path(5), false), nullptr);
}

// A FIFO stands in for the node: what is written comes back as input, and it can fill up.
TEST_F(HidrawOpen, ReadWriteHandleMovesReportsWithoutBlocking) {
    std::string path = node_path(0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::unique_ptr<platform::Device> device = hidraw::open(path, true);
    ASSERT_NE(device, nullptr);

    uint8_t buffer[64] = {};
    EXPECT_EQ(device->read_input(buffer, sizeof buffer), -1) << "nothing waits";

    const uint8_t report[] = {0x02, 0xAA, 0x55};
    ASSERT_TRUE(device->write(report, sizeof report, 100));
    pollfd p{device->input_fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    ASSERT_EQ(device->read_input(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), std::vector<uint8_t>(report, report + 3));
    EXPECT_EQ(device->read_input(buffer, sizeof buffer), -1);

    // Not a hidraw node: the control transfers are refused by the kernel and must report it.
    EXPECT_FALSE(device->set_output(report, sizeof report));
    EXPECT_FALSE(device->get_input(buffer, sizeof report));
    EXPECT_FALSE(device->set_feature(report, sizeof report));
    EXPECT_FALSE(device->get_feature(buffer, sizeof report));
}

TEST_F(HidrawOpen, WriteGivesUpWhenTheNodeTakesNoMore) {
    std::string path = node_path(0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::unique_ptr<platform::Device> device = hidraw::open(path, true);
    ASSERT_NE(device, nullptr);

    std::vector<uint8_t> report(4096, 0x5A);
    int written = 0;
    while (written < 1024 && device->write(report.data(), report.size(), 100))
        ++written;
    ASSERT_LT(written, 1024) << "the FIFO never filled";
    EXPECT_FALSE(device->write(report.data(), report.size(), 100));

    std::vector<uint8_t> drained(report.size());
    ASSERT_EQ(device->read_input(drained.data(), drained.size()), static_cast<long>(report.size()));
    EXPECT_TRUE(device->write(report.data(), report.size(), 100)) << "room again once a report was taken";
}

// A real hidraw node's write() waits in the kernel until the device takes the report (up to the USB
// core's 5 s), whatever O_NONBLOCK says. A full FIFO in blocking mode holds a write the same way.
TEST_F(HidrawOpen, AWriteHeldByTheNodeGivesUpAtTheLimitAndTheNextWaitsItsTurn) {
    std::string path = node_path(0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::unique_ptr<platform::Device> device = hidraw::open(path, true);
    ASSERT_NE(device, nullptr);
    const int filler = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    std::vector<uint8_t> chunk(4096, 0xEE);
    std::size_t filled = 0;
    while (::write(filler, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size()))
        filled += chunk.size();
    ::close(filler);
    const int flags = ::fcntl(device->input_fd(), F_GETFL);
    ASSERT_EQ(::fcntl(device->input_fd(), F_SETFL, flags & ~O_NONBLOCK), 0);

    const std::vector<uint8_t> first(65, 0x01), second(65, 0x02), third(65, 0x03);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device->write(first.data(), first.size(), 100));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(2000)) << "the caller waited for the node, not its limit";
    // The first is still under way: the next is refused within its own limit and never sent.
    EXPECT_FALSE(device->write(second.data(), second.size(), 50));

    // Room again: the held report goes through, then the next write in its turn.
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    for (std::size_t left = filled; left > 0;) {
        const ssize_t n = ::read(reader, chunk.data(), std::min(left, chunk.size()));
        ASSERT_GT(n, 0);
        left -= static_cast<std::size_t>(n);
    }
    EXPECT_TRUE(device->write(third.data(), third.size(), 5000));
    std::vector<uint8_t> got(130);
    std::size_t have = 0;
    while (have < got.size()) {
        pollfd p{reader, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        const ssize_t n = ::read(reader, got.data() + have, got.size() - have);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 65), first);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 65, got.end()), third);
    ::close(reader);
}

// The datagrams as the kernel sends them on NETLINK_KOBJECT_UEVENT.
const std::string kHidrawPath =
    "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:1234:5678.0001/hidraw/hidraw0";

std::string kernel_event(const std::string& action, const std::string& devpath, const std::string& subsystem,
                         const std::string& extra = "") {
    return action + "@" + devpath + "\0ACTION="s + action + "\0DEVPATH="s + devpath + "\0SUBSYSTEM="s +
           subsystem + "\0"s + extra + "SEQNUM=4321\0"s;
}

bool change(const std::string& datagram) {
    return hidraw::is_hidraw_change(datagram.data(), datagram.size());
}

TEST(HidrawUevent, AddAndRemoveOfAHidrawNodeCount) {
    EXPECT_TRUE(change(kernel_event("add", kHidrawPath, "hidraw", "MAJOR=247\0MINOR=0\0DEVNAME=hidraw0\0"s)));
    EXPECT_TRUE(
        change(kernel_event("remove", kHidrawPath, "hidraw", "MAJOR=247\0MINOR=0\0DEVNAME=hidraw0\0"s)));
}

TEST(HidrawUevent, OtherActionsAndSubsystemsDoNot) {
    EXPECT_FALSE(change(kernel_event("change", kHidrawPath, "hidraw")));
    EXPECT_FALSE(change(kernel_event("bind", kHidrawPath, "hidraw")));
    const std::string hid = "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:1234:5678.0001";
    EXPECT_FALSE(change(kernel_event("add", hid, "hid", "HID_ID=0003:00001234:00005678\0"s)));
    EXPECT_FALSE(change(kernel_event("add", "/devices/pci0000:00/0000:00:14.0/usb1/1-1", "usb")));
    EXPECT_FALSE(change(kernel_event("remove", "/devices/virtual/input/input7/event5", "input")));
    // Lookalike keys and values.
    EXPECT_FALSE(change("add@/x\0ACTION=add\0XSUBSYSTEM=hidraw\0"s));
    EXPECT_FALSE(change("add@/x\0ACTION=add\0SUBSYSTEM=hidraw2\0"s));
    EXPECT_FALSE(change("add@/x\0ACTION=added\0SUBSYSTEM=hidraw\0"s));
    EXPECT_FALSE(change("add@/x\0MY_ACTION=add\0SUBSYSTEM=hidraw\0"s));
}

TEST(HidrawUevent, UdevRebroadcastsAreIgnored) {
    // udev's own format: a "libudev" tag, a binary header, then the properties.
    std::string datagram = "libudev\0"s + "\xfe\xed\xca\xfe\x28\x00\x00\x00\x28\x00\x00\x00"s +
                           "ACTION=add\0DEVPATH="s + kHidrawPath +
                           "\0SUBSYSTEM=hidraw\0DEVNAME=/dev/hidraw0\0"s;
    EXPECT_FALSE(change(datagram));
}

TEST(HidrawUevent, AnyBytesAreSafe) {
    EXPECT_FALSE(hidraw::is_hidraw_change(nullptr, 0));
    EXPECT_FALSE(change(""));
    EXPECT_FALSE(change("\0\0\0"s));
    EXPECT_FALSE(change("ACTION=add SUBSYSTEM=hidraw"));
    EXPECT_FALSE(change("ACTION=add\0SUBSYSTEM=hidraw\0"s)) << "no ACTION@DEVPATH header";

    // Every truncation, each in a buffer of exactly its size so a read past the end is caught by ASan.
    const std::string full = kernel_event("add", kHidrawPath, "hidraw", "MAJOR=247\0MINOR=0\0"s);
    const std::size_t complete = full.find("SUBSYSTEM=hidraw") + std::string("SUBSYSTEM=hidraw").size();
    for (std::size_t length = 0; length <= full.size(); ++length) {
        std::vector<char> copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(hidraw::is_hidraw_change(copy.data(), length), length >= complete) << "length " << length;
    }

    std::mt19937 random(390);
    for (int round = 0; round < 200; ++round) {
        std::vector<char> bytes(random() % 300);
        for (char& b : bytes)
            b = static_cast<char>(random());
        EXPECT_FALSE(hidraw::is_hidraw_change(bytes.data(), bytes.size()));
    }
}

TEST(HidrawUeventSocket, ReceivesKernelEventsWithoutBlocking) {
    int fd = hidraw::open_uevent_socket();
    if (fd < 0)
        GTEST_SKIP() << "no uevent netlink socket in this environment";
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    sockaddr_nl address{};
    socklen_t size = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    EXPECT_EQ(address.nl_family, AF_NETLINK);
    EXPECT_EQ(address.nl_groups, 1u);
    ::close(fd);
}

} // namespace
