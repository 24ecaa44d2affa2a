// The udev rule's matching, without udevadm: the rule file is parsed and run on modelled sysfs device chains.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One device of a sysfs chain, as udev sees it.
struct Device {
    std::string kernel;
    std::string subsystem;
    std::string driver;
    std::map<std::string, std::string> attrs;
};

// The device an event is about first, then its parents up to the root.
using Chain = std::vector<Device>;

struct Key {
    std::string name;
    std::string attr; // the name in braces, for ATTR{...} and ATTRS{...}
    std::string op;
    std::string value;
};
using Rule = std::vector<Key>;

// What the rules did to one device event.
struct Outcome {
    int rules_matched = 0;
    std::set<std::string> tags;
    std::map<std::string, std::string> assigned; // MODE, GROUP, OWNER, ...
};

// The keys this model understands; any other key in the file fails the test rather than being skipped.
const std::set<std::string> device_keys = {"ACTION", "SUBSYSTEM", "KERNEL", "DRIVER", "ATTR"};
const std::set<std::string> parent_keys = {"SUBSYSTEMS", "KERNELS", "DRIVERS", "ATTRS"};
const std::set<std::string> assign_keys = {"TAG", "MODE", "GROUP", "OWNER"};

Rule parse_rule(const std::string& line) {
    Rule rule;
    std::size_t i = 0;
    const auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == ','))
            ++i;
    };
    for (skip(); i < line.size(); skip()) {
        Key k;
        while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
            k.name += line[i++];
        if (i < line.size() && line[i] == '{') {
            const auto close = line.find('}', i);
            if (close == std::string::npos)
                throw std::runtime_error("unclosed { in: " + line);
            k.attr = line.substr(i + 1, close - i - 1);
            i = close + 1;
        }
        while (i < line.size() && std::string_view("=!+-:").find(line[i]) != std::string_view::npos)
            k.op += line[i++];
        if (k.name.empty() || i >= line.size() || line[i] != '"')
            throw std::runtime_error("cannot read a key at column " + std::to_string(i) + " of: " + line);
        const auto close = line.find('"', i + 1);
        if (close == std::string::npos)
            throw std::runtime_error("unclosed value in: " + line);
        k.value = line.substr(i + 1, close - i - 1);
        i = close + 1;
        const bool match = k.op == "==" || k.op == "!=";
        const bool assign = k.op == "=" || k.op == "+=" || k.op == "-=" || k.op == ":=";
        if (!match && !assign)
            throw std::runtime_error("unknown operator '" + k.op + "' in: " + line);
        if (match && !device_keys.contains(k.name) && !parent_keys.contains(k.name))
            throw std::runtime_error("the model has no match key " + k.name);
        if (assign && !assign_keys.contains(k.name))
            throw std::runtime_error("the model has no assignment key " + k.name);
        if (k.attr.empty() != (k.name != "ATTR" && k.name != "ATTRS"))
            throw std::runtime_error("braces belong to ATTR and ATTRS only: " + line);
        rule.push_back(k);
    }
    return rule;
}

// The rules of a file: '#' comments, blank lines and backslash-continued lines as udev reads them.
std::vector<Rule> parse_rules(std::istream& in) {
    std::vector<Rule> rules;
    std::string line;
    std::string pending;
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (pending.empty() && (start == std::string::npos || line[start] == '#'))
            continue;
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        pending += line;
        rules.push_back(parse_rule(pending));
        pending.clear();
    }
    if (!pending.empty())
        rules.push_back(parse_rule(pending));
    return rules;
}

// udev's patterns: shell globs, with '|' between alternatives.
bool pattern_matches(const std::string& patterns, const std::string& value) {
    std::istringstream alternatives(patterns);
    std::string p;
    while (std::getline(alternatives, p, '|'))
        if (::fnmatch(p.c_str(), value.c_str(), 0) == 0)
            return true;
    return false;
}

// A device property a match key looks at; false when the device has none (an absent attribute).
bool property(const Device& d, const Key& k, const std::string& action, std::string& value) {
    const std::string& n = k.name;
    if (n == "ACTION")
        value = action;
    else if (n == "SUBSYSTEM" || n == "SUBSYSTEMS")
        value = d.subsystem;
    else if (n == "KERNEL" || n == "KERNELS")
        value = d.kernel;
    else if (n == "DRIVER" || n == "DRIVERS")
        value = d.driver;
    else if (const auto a = d.attrs.find(k.attr); a != d.attrs.end())
        value = a->second;
    else
        return false;
    return true;
}

bool key_matches(const Device& d, const Key& k, const std::string& action) {
    std::string value;
    const bool present = property(d, k, action, value);
    const bool hit = present && pattern_matches(k.value, value);
    return k.op == "==" ? hit : !hit;
}

bool rule_matches(const Rule& rule, const Chain& chain, const std::string& action) {
    for (const Key& k : rule)
        if (device_keys.contains(k.name) && !key_matches(chain.front(), k, action))
            return false;
    // The parent keys of one rule must all hold on one and the same device of the chain.
    bool any_parent_key = false;
    for (const Key& k : rule)
        any_parent_key |= parent_keys.contains(k.name);
    if (!any_parent_key)
        return true;
    for (const Device& d : chain) {
        bool all = true;
        for (const Key& k : rule)
            if (parent_keys.contains(k.name))
                all = all && key_matches(d, k, action);
        if (all)
            return true;
    }
    return false;
}

Outcome run_rules(const std::vector<Rule>& rules, const Chain& chain, const std::string& action = "add") {
    Outcome out;
    for (const Rule& rule : rules) {
        if (!rule_matches(rule, chain, action))
            continue;
        ++out.rules_matched;
        for (const Key& k : rule) {
            if (k.name == "TAG") {
                if (k.op == "-=")
                    out.tags.erase(k.value);
                else if (k.op == "+=")
                    out.tags.insert(k.value);
                else
                    out.tags = {k.value};
            } else if (assign_keys.contains(k.name)) {
                out.assigned[k.name] = k.value;
            }
        }
    }
    return out;
}

const std::filesystem::path rule_file = UDEV_RULE_FILE;

std::vector<Rule> installed_rules() {
    std::ifstream in(rule_file);
    if (!in)
        throw std::runtime_error("cannot read " + rule_file.string());
    return parse_rules(in);
}

// The USB host side both devices hang from.
const Chain host = {
    {"1-1", "usb", "usb", {{"manufacturer", "Generic"}, {"product", "USB2.0 Hub"}, {"idVendor", "05e3"}}},
    {"usb1",
     "usb",
     "usb",
     {{"manufacturer", "Linux 6.1.0-28-amd64 xhci-hcd"}, {"product", "xHCI Host Controller"}}},
    {"0000:00:14.0", "pci", "xhci_hcd", {{"class", "0x0c0330"}}},
};

// A USB HID device's chain from its hidraw node: node, HID device, interface, USB device, then the host.
Chain usb_hid(const std::string& manufacturer, const std::string& product, const std::string& vid_pid,
              const std::string& node_subsystem = "hidraw") {
    Chain c = {
        {node_subsystem == "hidraw" ? "hidraw3" : "input17", node_subsystem, "", {}},
        {"0003:" + vid_pid + ".0007", "hid", "hid-generic", {{"country", "00"}}},
        {"1-1.2:1.0", "usb", "usbhid", {{"bInterfaceClass", "03"}, {"bInterfaceNumber", "00"}}},
        {"1-1.2",
         "usb",
         "usb",
         {{"manufacturer", manufacturer},
          {"product", product},
          {"serial", "000117"},
          {"idVendor", vid_pid.substr(0, 4)},
          {"idProduct", vid_pid.substr(5, 4)}}},
    };
    c.insert(c.end(), host.begin(), host.end());
    return c;
}

Chain unit_normal() {
    return usb_hid("VOK-RZ", "RV-390PKTA", "16C0:05DF");
}
Chain unit_boot() {
    return usb_hid("VOK-RZ", "RV-390PKTA(boot)", "16C0:05DC");
}
Chain keyboard() {
    return usb_hid("Logitech", "USB Keyboard", "046D:C31C");
}

bool seat_gets_access(const Outcome& o) {
    return o.tags.contains("uaccess");
}

} // namespace

TEST(UdevRule, FileHoldsRulesThisModelReads) {
    std::vector<Rule> rules;
    ASSERT_NO_THROW(rules = installed_rules());
    EXPECT_FALSE(rules.empty());
}

TEST(UdevRule, GivesTheSeatTheUnitInNormalFirmware) {
    const Outcome o = run_rules(installed_rules(), unit_normal());
    EXPECT_TRUE(seat_gets_access(o));
}

TEST(UdevRule, GivesTheSeatTheUnitInItsBootLoader) {
    const Outcome o = run_rules(installed_rules(), unit_boot());
    EXPECT_TRUE(seat_gets_access(o));
}

TEST(UdevRule, HoldsWhateverTheUsbIdsAre) {
    EXPECT_TRUE(seat_gets_access(run_rules(installed_rules(), usb_hid("VOK-RZ", "RV-390PKTA", "1234:ABCD"))));
    EXPECT_TRUE(
        seat_gets_access(run_rules(installed_rules(), usb_hid("VOK-RZ", "RV-390PKTA(boot)", "0483:5750"))));
}

TEST(UdevRule, HoldsOnChangeEventsToo) {
    // udevadm trigger sends "change": the access must come back after a rules reload.
    EXPECT_TRUE(seat_gets_access(run_rules(installed_rules(), unit_normal(), "change")));
}

TEST(UdevRule, LeavesAKeyboardAlone) {
    const Outcome o = run_rules(installed_rules(), keyboard());
    EXPECT_EQ(o.rules_matched, 0);
    EXPECT_TRUE(o.tags.empty());
    EXPECT_TRUE(o.assigned.empty());
}

TEST(UdevRule, LeavesOtherProductsOfTheSameMakerAlone) {
    EXPECT_EQ(run_rules(installed_rules(), usb_hid("VOK-RZ", "RV-391", "16C0:05DF")).rules_matched, 0);
    EXPECT_EQ(run_rules(installed_rules(), usb_hid("VOK-RZ", "RV-390PKTA-X", "16C0:05DF")).rules_matched, 0);
    EXPECT_EQ(run_rules(installed_rules(), usb_hid("vok-rz", "rv-390pkta", "16C0:05DF")).rules_matched, 0);
}

TEST(UdevRule, LeavesTheUnitsOtherNodesAlone) {
    // Only the hidraw node: not the unit's input device, nor its USB device node.
    EXPECT_EQ(
        run_rules(installed_rules(), usb_hid("VOK-RZ", "RV-390PKTA", "16C0:05DF", "input")).rules_matched, 0);
    Chain usb_node = unit_normal();
    usb_node.erase(usb_node.begin(), usb_node.begin() + 3);
    EXPECT_EQ(run_rules(installed_rules(), usb_node).rules_matched, 0);
}

TEST(UdevRule, NeedsMakerAndProductOnOneDevice) {
    // A keyboard named like the unit, behind a hub made by the unit's maker, is still a keyboard.
    Chain c = usb_hid("Logitech", "RV-390PKTA", "046D:C31C");
    c[4].attrs["manufacturer"] = "VOK-RZ";
    EXPECT_EQ(run_rules(installed_rules(), c).rules_matched, 0);
}

TEST(UdevRule, GrantsNoWiderMode) {
    // Access goes to the seat's user by an access list; a mode for everyone would undo that.
    for (const Chain& c : std::vector<Chain>{unit_normal(), unit_boot()}) {
        const Outcome o = run_rules(installed_rules(), c);
        if (const auto mode = o.assigned.find("MODE"); mode != o.assigned.end()) {
            EXPECT_EQ(mode->second.back(), '0') << "MODE=" << mode->second;
        }
    }
}

TEST(UdevRule, RunsBeforeTheSeatRules) {
    // 73-seat-late.rules turns the uaccess tag into the access list; a rule read after it is too late.
    const std::string name = rule_file.filename().string();
    ASSERT_GE(name.size(), 3u);
    ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(name[0])) &&
                std::isdigit(static_cast<unsigned char>(name[1])));
    EXPECT_LT(std::stoi(name.substr(0, 2)), 73);
    EXPECT_EQ(rule_file.extension(), ".rules");
}

// The model itself: it must be able to say yes and no, or the tests above prove nothing.
TEST(UdevRuleModel, ReadsMatchesLikeUdev) {
    std::istringstream text("# comment\n"
                            "\n"
                            "SUBSYSTEM==\"hidraw\", ATTRS{manufacturer}==\"Logi*|Other\", \\\n"
                            "  TAG+=\"uaccess\"\n"
                            "SUBSYSTEM==\"hidraw\", KERNEL!=\"hidraw3\", MODE=\"0666\"\n");
    const auto rules = parse_rules(text);
    ASSERT_EQ(rules.size(), 2u);
    const Outcome k = run_rules(rules, keyboard());
    EXPECT_EQ(k.rules_matched, 1);
    EXPECT_TRUE(k.tags.contains("uaccess"));
    EXPECT_FALSE(k.assigned.contains("MODE"));
    EXPECT_FALSE(seat_gets_access(run_rules(rules, unit_normal())));
}

TEST(UdevRuleModel, RefusesWhatItCannotModel) {
    std::istringstream text("SUBSYSTEM==\"hidraw\", ENV{ID_VENDOR}==\"x\", RUN+=\"/bin/true\"\n");
    EXPECT_THROW(parse_rules(text), std::runtime_error);
}
