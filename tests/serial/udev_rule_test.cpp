// The udev rule shipped for the DM port: every line parses as udev reads it, and its match keys,
// evaluated as udev would against the fake sysfs tree the discovery code reads, give the
// diagnostics interface and a download-mode modem to dialout and keep ModemManager off them,
// and leave every other port alone.
#include <gtest/gtest.h>

#include <fnmatch.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "modemsim/FakeSysfs.h"
#include "serial/Discovery.h"

namespace kvx::serial {
namespace {

namespace fs = std::filesystem;
using modemsim::FakeSysfs;
using modemsim::FakeUsbPort;

const fs::path kRuleFile = fs::path(KVX_SOURCE_DIR) / "packaging" / "60-kvxlogplus.rules";

struct Key {
    std::string name;  // ATTRS, ENV, GROUP ...
    std::string attr;  // inside {...}; empty when none
    std::string op;    // == != = += :=
    std::string value;
};
using Rule = std::vector<Key>;

bool isMatchOp(const std::string& op) { return op == "==" || op == "!="; }

// Parses the rule text as udev does: comments, blank lines, backslash continuations, then
// comma-separated KEY[{attr}]OP"value" items. Appends a message per malformed line to `errors`.
std::vector<Rule> parseRules(const std::string& text, std::vector<std::string>& errors) {
    static const std::set<std::string> kMatchOnly = {"ACTION", "SUBSYSTEM", "SUBSYSTEMS", "ATTRS",
                                                     "KERNEL", "KERNELS", "DRIVERS"};
    static const std::set<std::string> kAssignOnly = {"GROUP", "MODE", "OWNER", "GOTO", "LABEL",
                                                      "SYMLINK", "TAG"};
    static const std::set<std::string> kEither = {"ATTR", "ENV"};
    static const std::regex kItem(R"re(^\s*([A-Z]+)(\{([A-Za-z0-9_]+)\})?\s*(==|!=|\+=|:=|=)\s*"([^"]*)"\s*(,|$))re");
    std::vector<Rule> rules;
    std::istringstream in(text);
    std::string line, joined;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\\') {
            joined += line.substr(0, line.size() - 1);
            continue;
        }
        joined += line;
        std::string l;
        l.swap(joined);
        const size_t first = l.find_first_not_of(" \t");
        if (first == std::string::npos || l[first] == '#') continue;
        Rule rule;
        std::string rest = l.substr(first);
        std::smatch m;
        while (!rest.empty() && std::regex_search(rest, m, kItem)) {
            Key k{m[1], m[3], m[4], m[5]};
            const bool known = kMatchOnly.count(k.name) || kAssignOnly.count(k.name) ||
                               kEither.count(k.name);
            if (!known) errors.push_back("line " + std::to_string(number) + ": key " + k.name);
            if (kMatchOnly.count(k.name) && !isMatchOp(k.op))
                errors.push_back("line " + std::to_string(number) + ": " + k.name + " assigned");
            if (kAssignOnly.count(k.name) && isMatchOp(k.op))
                errors.push_back("line " + std::to_string(number) + ": " + k.name + " compared");
            if ((k.name == "ATTR" || k.name == "ATTRS" || k.name == "ENV") == k.attr.empty())
                errors.push_back("line " + std::to_string(number) + ": braces of " + k.name);
            rule.push_back(k);
            rest = m.suffix();
        }
        if (rest.find_first_not_of(" \t") != std::string::npos)
            errors.push_back("line " + std::to_string(number) + ": cannot parse '" + rest + "'");
        if (rule.empty()) continue;
        const bool hasMatch = std::any_of(rule.begin(), rule.end(),
                                          [](const Key& k) { return isMatchOp(k.op); });
        if (!hasMatch && rule.front().name != "LABEL")
            errors.push_back("line " + std::to_string(number) + ": no match key");
        rules.push_back(std::move(rule));
    }
    return rules;
}

// udev's pattern match: shell glob with '|' separating alternatives.
bool globMatch(const std::string& pattern, const std::string& value) {
    size_t start = 0;
    for (;;) {
        const size_t bar = pattern.find('|', start);
        const std::string alt = pattern.substr(start, bar - start);
        if (::fnmatch(alt.c_str(), value.c_str(), 0) == 0) return true;
        if (bar == std::string::npos) return false;
        start = bar + 1;
    }
}

std::optional<std::string> readAttr(const fs::path& dir, const std::string& name) {
    std::ifstream in(dir / name);
    if (!in) return std::nullopt;
    std::string v((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
    return v;
}

// One device event as udev sees it. The fake tree has no subsystem links: a folder holding USB
// descriptors (an interface's bInterfaceClass, a device's idVendor) is of subsystem "usb".
struct Event {
    std::string action = "add";
    std::string subsystem;             // of the device itself
    fs::path device;                   // its sysfs folder
    std::map<std::string, std::string> env;  // properties before the rules
};

std::string subsystemOf(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "bInterfaceClass", ec) || fs::exists(dir / "idVendor", ec) ? "usb" : "";
}

bool keyMatches(const Key& k, const std::string& actual) {
    return globMatch(k.value, actual) == (k.op == "==");
}

// Keys that look at parents must all hold on the same device (the device itself or one above).
bool parentKeysMatch(const Rule& rule, const Event& e, const fs::path& sysRoot) {
    std::vector<const Key*> keys;
    for (const Key& k : rule)
        if (k.name == "ATTRS" || k.name == "SUBSYSTEMS") keys.push_back(&k);
    if (keys.empty()) return true;
    for (fs::path dir = e.device; dir.string().size() > sysRoot.string().size();
         dir = dir.parent_path()) {
        bool all = true;
        for (const Key* k : keys) {
            const std::string actual = k->name == "SUBSYSTEMS"
                                           ? (dir == e.device ? e.subsystem : subsystemOf(dir))
                                           : readAttr(dir, k->attr).value_or("\x01");
            if (actual == "\x01" || !keyMatches(*k, actual)) {
                all = false;
                break;
            }
        }
        if (all) return true;
    }
    return false;
}

// Runs the rules over one event: the assignments that end up made (GROUP, MODE, ENV{...}).
std::map<std::string, std::string> apply(const std::vector<Rule>& rules, const Event& e,
                                         const fs::path& sysRoot) {
    std::map<std::string, std::string> out;
    std::string skipTo;
    for (const Rule& rule : rules) {
        if (!skipTo.empty()) {
            if (rule.front().name == "LABEL" && rule.front().value == skipTo) skipTo.clear();
            continue;
        }
        bool match = parentKeysMatch(rule, e, sysRoot);
        for (const Key& k : rule) {
            if (!match || !isMatchOp(k.op)) continue;
            if (k.name == "ACTION") match = keyMatches(k, e.action);
            else if (k.name == "SUBSYSTEM") match = keyMatches(k, e.subsystem);
            else if (k.name == "ATTR") match = keyMatches(k, readAttr(e.device, k.attr).value_or(""));
            else if (k.name == "ENV") {
                auto it = e.env.find(k.attr);
                match = keyMatches(k, it == e.env.end() ? "" : it->second);
            }
        }
        if (!match) continue;
        for (const Key& k : rule) {
            if (isMatchOp(k.op)) continue;
            if (k.name == "GOTO") skipTo = k.value;
            else if (k.name != "LABEL") out[k.attr.empty() ? k.name : "ENV{" + k.attr + "}"] = k.value;
        }
    }
    return out;
}

std::string ruleText() {
    std::ifstream in(kRuleFile);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(UdevRule, EveryLineParsesAndEveryJumpLands) {
    const std::string text = ruleText();
    ASSERT_FALSE(text.empty()) << kRuleFile;
    std::vector<std::string> errors;
    const auto rules = parseRules(text, errors);
    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    std::set<std::string> labels;
    for (const Rule& r : rules)
        if (r.front().name == "LABEL") labels.insert(r.front().value);
    for (const Rule& r : rules)
        for (const Key& k : r) {
            if (k.name == "GOTO") {
                EXPECT_TRUE(labels.count(k.value)) << k.value;
            }
            if (k.name == "MODE") {
                EXPECT_TRUE(std::regex_match(k.value, std::regex("0[0-7]{3}")));
            }
        }
    // The parser itself rejects what udev rejects.
    errors.clear();
    parseRules("SUBSYSTEM=\"tty\", GROUP==\"dialout\"\nATTRS{idVendor}==05c6\nFOO==\"x\"\n", errors);
    EXPECT_EQ(errors.size(), 4u) << ::testing::PrintToString(errors);
}

class UdevRuleOnFakeTree : public ::testing::Test {
  protected:
    void SetUp() override {
        base = fs::temp_directory_path() / ("kvx-udev-" + std::to_string(::getpid()));
        fs::remove_all(base);
        tree = std::make_unique<FakeSysfs>((base / "sys").string(), (base / "dev").string());
        std::vector<std::string> errors;
        rules = parseRules(ruleText(), errors);
        ASSERT_TRUE(errors.empty());
    }
    void TearDown() override { fs::remove_all(base); }

    fs::path ttyDevice(const std::string& tty) const {
        return fs::canonical(fs::path(tree->root()) / "class" / "tty" / tty);
    }
    // The USB device above a port: the first folder up that holds idVendor.
    fs::path usbDevice(const std::string& tty) const {
        for (fs::path d = ttyDevice(tty); d.has_relative_path(); d = d.parent_path())
            if (fs::exists(d / "idVendor")) return d;
        return {};
    }

    fs::path base;
    std::unique_ptr<FakeSysfs> tree;
    std::vector<Rule> rules;
};

TEST_F(UdevRuleOnFakeTree, DiagnosticsAndDownloadModePortsOnlyAreTaken) {
    struct Case {
        const char* what;
        const char* tty;
        int cls, sub, proto;
        const char* vendor;  // nullptr: as the fake tree writes it
        const char* product;
        bool taken;          // dialout, 0660, ModemManager keeps off the port
        bool deviceIgnored;  // ModemManager keeps off the whole device
    };
    const Case cases[] = {
        {"DM port, usb-serial", "ttyUSB2", 0xff, 0xff, 0x30, nullptr, nullptr, true, false},
        {"DM port, cdc-acm", "ttyACM0", 0xff, 0xff, 0x30, nullptr, nullptr, true, false},
        {"AT port of the same modem", "ttyUSB3", 0xff, 0xff, 0xff, nullptr, nullptr, false, false},
        {"NMEA port", "ttyUSB1", 0xff, 0xff, 0x31, nullptr, nullptr, false, false},
        {"ACM modem port", "ttyACM1", 0x02, 0x02, 0x01, nullptr, nullptr, false, false},
        {"vendor-specific 30 protocol only", "ttyUSB4", 0xff, 0x00, 0x30, nullptr, nullptr, false,
         false},
        {"download mode 05c6:9008", "ttyUSB0", 0xff, 0xff, 0xff, "05c6", "9008", true, true},
        {"Qualcomm in another mode 05c6:9025", "ttyUSB5", 0xff, 0xff, 0xff, "05c6", "9025", false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeUsbPort p;
        p.tty = c.tty;
        p.manufacturer = "Orvanta Wireless";
        p.product = "KVX-210";
        p.interfaceClass = c.cls;
        p.interfaceSubClass = c.sub;
        p.interfaceProtocol = c.proto;
        ASSERT_TRUE(tree->add(p));
        if (c.vendor != nullptr) {
            std::ofstream(usbDevice(c.tty) / "idVendor") << c.vendor << "\n";
            std::ofstream(usbDevice(c.tty) / "idProduct") << c.product << "\n";
        }

        Event tty{"add", "tty", ttyDevice(c.tty), {}};
        auto got = apply(rules, tty, tree->root());
        EXPECT_EQ(got.count("GROUP") && got["GROUP"] == "dialout", c.taken);
        EXPECT_EQ(got.count("MODE") && got["MODE"] == "0660", c.taken);
        EXPECT_EQ(got.count("ENV{ID_MM_PORT_IGNORE}") && got["ENV{ID_MM_PORT_IGNORE}"] == "1",
                  c.taken);
        EXPECT_EQ(got.count("ENV{ID_MM_DEVICE_IGNORE}") != 0, c.deviceIgnored);

        // The USB device's own event: only download mode keeps ModemManager off it.
        Event dev{"add", "usb", usbDevice(c.tty), {{"DEVTYPE", "usb_device"}}};
        got = apply(rules, dev, tree->root());
        EXPECT_EQ(got.count("ENV{ID_MM_DEVICE_IGNORE}") && got["ENV{ID_MM_DEVICE_IGNORE}"] == "1",
                  c.deviceIgnored);

        // Removal changes nothing.
        tty.action = "remove";
        EXPECT_TRUE(apply(rules, tty, tree->root()).empty());

        // The rule takes exactly the interfaces the port search names "DM Port".
        if (!c.deviceIgnored) {
            bool named = false;
            for (const auto& port : listPorts(tree->root(), tree->dev()))
                if (port.tty == c.tty) named = port.name.find("DM Port") != std::string::npos;
            EXPECT_EQ(named, c.taken);
        }
        tree->remove(c.tty);
    }
}

}  // namespace
}  // namespace kvx::serial
