// Port discovery on fake sysfs trees: which ports are listed, their friendly names and
// order, and the engine's search, presence check and detection built on them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dm/KvxLog.h"
#include "dm/ScriptedPort.h"
#include "modemsim/FakeSysfs.h"
#include "serial/Discovery.h"

namespace kvx::serial {
namespace {

namespace fs = std::filesystem;
using modemsim::FakeSysfs;
using modemsim::FakeUsbPort;

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base = fs::temp_directory_path() / ("kvx-sysfs-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(base);
        tree = std::make_unique<FakeSysfs>((base / "sys").string(), (base / "dev").string());
        node = base / "node";
        std::ofstream(node) << "";
        ::setenv("KVXLOG_DEV_ROOT", tree->dev().c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KVXLOG_DEV_ROOT");
        fs::remove_all(base);
    }

    FakeUsbPort port(const std::string& tty, const std::string& manufacturer,
                     const std::string& product, const std::string& interfaceName = "",
                     bool diag = false, bool linked = true) {
        FakeUsbPort p;
        p.tty = tty;
        p.manufacturer = manufacturer;
        p.product = product;
        p.interfaceName = interfaceName;
        if (!diag) p.interfaceProtocol = 0x01;
        if (linked) p.target = node.string();
        return p;
    }

    std::vector<PresentPort> list() const { return listPorts(tree->root(), tree->dev()); }
    std::string dev(const std::string& tty) const { return tree->dev() + "/" + tty; }

    fs::path base, node;
    std::unique_ptr<FakeSysfs> tree;
};

TEST_F(Discovery, FriendlyNamesAndNaturalOrder) {
    ASSERT_TRUE(
        tree->add(port("ttyUSB10", "Orvanta Wireless", "KVX-210", "Orvanta Wireless NMEA")));
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Orvanta Wireless", "KVX-210", "", true)));
    ASSERT_TRUE(tree->add(port("ttyACM0", "Acme", "USB Modem")));
    ASSERT_TRUE(tree->add(port("ttyUSB3", "", "", "", true)));
    ASSERT_TRUE(tree->add(port("ttyUSB4", "", "")));
    ASSERT_TRUE(tree->addLegacy("ttyS0"));
    fs::create_directories(fs::path(tree->root()) / "class" / "tty" /
                           "tty0");  // virtual: no device

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ttyACM0", "Acme USB Modem (ttyACM0)"},
        {"ttyUSB2", "Orvanta Wireless DM Port (ttyUSB2)"},
        {"ttyUSB3", "DM Port (ttyUSB3)"},
        {"ttyUSB4", "USB Serial Port (ttyUSB4)"},
        {"ttyUSB10", "Orvanta Wireless NMEA (ttyUSB10)"},
    };
    const auto ports = list();
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].tty, expected[i].first);
        EXPECT_EQ(ports[i].name, expected[i].second);
        EXPECT_EQ(ports[i].path, dev(expected[i].first));
    }
}

TEST_F(Discovery, InterfaceStringWinsOverTheDiagnosticsName) {
    ASSERT_TRUE(tree->add(
        port("ttyUSB0", "Orvanta Wireless", "KVX-210", "KVX Diagnostics Interface", true)));
    ASSERT_EQ(list().size(), 1u);
    EXPECT_EQ(list()[0].name, "KVX Diagnostics Interface (ttyUSB0)");
}

TEST_F(Discovery, UnpluggedPortsDisappearAndComeBack) {
    ASSERT_TRUE(tree->add(port("ttyUSB1", "Orvanta Wireless", "KVX-210", "", true)));
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Orvanta Wireless", "KVX-210")));
    tree->remove("ttyUSB1");
    ASSERT_EQ(list().size(), 1u);
    EXPECT_EQ(list()[0].tty, "ttyUSB2");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dev("ttyUSB1"))));
    ASSERT_TRUE(tree->add(port("ttyUSB1", "Orvanta Wireless", "KVX-210", "", true)));
    EXPECT_EQ(list().size(), 2u);
}

TEST_F(Discovery, LegacyPortWithAUartIsListed) {
    ASSERT_TRUE(tree->addLegacy("ttyS1"));
    std::ofstream(fs::path(tree->root()) / "class" / "tty" / "ttyS1" / "type") << "4\n";
    ASSERT_EQ(list().size(), 1u);
    EXPECT_EQ(list()[0].name, "Serial Port (ttyS1)");
}

// Three modems of one batch, two of them sharing a serial number: by-id names the third and
// only one of the twins (the one udev linked last); by-path tells every one apart. Links that
// lead elsewhere, and plain files in the folders, name no port.
TEST_F(Discovery, StableNamesAndSerialNumbers) {
    auto modem = [&](const std::string& tty, const std::string& serial, const std::string& socket) {
        FakeUsbPort p = port(tty, "Orvanta Wireless", "KVX 210", "", true);
        p.serial = serial;
        p.socket = socket;
        return p;
    };
    ASSERT_TRUE(tree->add(modem("ttyUSB2", "0123456789", "1")));
    ASSERT_TRUE(tree->add(modem("ttyUSB5", "0123456789", "2")));
    ASSERT_TRUE(tree->add(modem("ttyACM0", "A1B2", "3.4")));
    ASSERT_TRUE(tree->add(port("ttyUSB7", "Acme", "GPS")));  // no serial number
    const fs::path byId = fs::path(tree->dev()) / "serial" / "by-id";
    const fs::path byPath = fs::path(tree->dev()) / "serial" / "by-path";
    fs::create_symlink("../../ttyUSB99", byId / "usb-Gone_Device-if00-port0");
    fs::create_symlink(dev("ttyUSB7"), byId / "absolute-link");
    std::ofstream(byPath / "not-a-link") << "";

    const std::string twin = (byId / "usb-Orvanta_Wireless_KVX_210_0123456789-if00-port0").string();
    struct Expected {
        std::string tty, serial;
        std::vector<std::string> byId, byPath;
    };
    const std::vector<Expected> expected = {
        {"ttyACM0",
         "A1B2",
         {(byId / "usb-Orvanta_Wireless_KVX_210_A1B2-if00").string()},
         {(byPath / "pci-0000:00:14.0-usb-0:3.4:1.0").string()}},
        {"ttyUSB2", "0123456789", {}, {(byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0").string()}},
        {"ttyUSB5",
         "0123456789",
         {twin},
         {(byPath / "pci-0000:00:14.0-usb-0:2:1.0-port0").string()}},
        {"ttyUSB7",
         "",
         {(byId / "absolute-link").string(), (byId / "usb-Acme_GPS-if00-port0").string()},
         {(byPath / "pci-0000:00:14.0-usb-0:8:1.0-port0").string()}},
    };
    const auto ports = list();
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(expected[i].tty);
        EXPECT_EQ(ports[i].tty, expected[i].tty);
        EXPECT_EQ(ports[i].serial, expected[i].serial);
        EXPECT_EQ(ports[i].byId, expected[i].byId);
        EXPECT_EQ(ports[i].byPath, expected[i].byPath);
    }

    // Unplugged: its links go with it, the others stay.
    tree->remove("ttyUSB5");
    EXPECT_FALSE(fs::exists(fs::symlink_status(twin)));
    EXPECT_EQ(linksTo(byPath.string(), dev("ttyUSB2")).size(), 1u);
    EXPECT_TRUE(linksTo((base / "nowhere").string(), dev("ttyUSB2")).empty());
}

TEST_F(Discovery, MissingTreeListsNothing) {
    EXPECT_TRUE(listPorts((base / "nowhere").string(), "/dev").empty());
}

TEST(NaturalOrder, DigitRunsCompareByValue) {
    EXPECT_TRUE(naturalLess("ttyUSB2", "ttyUSB10"));
    EXPECT_FALSE(naturalLess("ttyUSB10", "ttyUSB2"));
    EXPECT_TRUE(naturalLess("ttyACM9", "ttyUSB0"));
    EXPECT_TRUE(naturalLess("ttyUSB", "ttyUSB0"));
    EXPECT_FALSE(naturalLess("ttyUSB02", "ttyUSB2"));
    EXPECT_FALSE(naturalLess("ttyUSB2", "ttyUSB02"));
    EXPECT_TRUE(naturalLess("ttyUSB99999999999999999998", "ttyUSB99999999999999999999"));
}

// ---- the engine's search ------------------------------------------------------------------

class EngineDiscovery : public Discovery {
  protected:
    void SetUp() override {
        Discovery::SetUp();
        engine.setsysfsroot(tree->root());
        script = test::scriptPorts(engine);
    }
    dm::KvxLog engine;
    std::shared_ptr<test::PortScript> script;
};

TEST_F(EngineDiscovery, SlotOrderIsThePriority) {
    // ttyUSB1 matches slot 3 ("DM Port"), ttyUSB5 slot 1: slot 1 wins despite the index.
    ASSERT_TRUE(tree->add(port("ttyUSB1", "Orvanta Wireless", "KVX-210", "", true)));
    ASSERT_TRUE(tree->add(port("ttyUSB5", "Orvanta", "X", "Orvanta Wireless COM Port Device")));
    std::string name;
    EXPECT_TRUE(engine.findport("DM Port", name));
    EXPECT_EQ(name, dev("ttyUSB1"));
    EXPECT_FALSE(engine.connect(1, nullptr));  // the scripted port stays silent
    EXPECT_EQ(script->opened, std::vector<std::string>{dev("ttyUSB5")});
}

TEST_F(EngineDiscovery, LowerDeviceIndexWins) {
    ASSERT_TRUE(tree->add(port("ttyUSB10", "Orvanta Wireless", "KVX-210", "", true)));
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Other", "Modem", "", true)));
    std::string name;
    ASSERT_TRUE(engine.findport("DM Port", name));
    EXPECT_EQ(name, dev("ttyUSB2"));
}

TEST_F(EngineDiscovery, MatchWithoutDeviceNodeGoesOnToTheNext) {
    ASSERT_TRUE(
        tree->add(port("ttyUSB1", "Orvanta Wireless", "KVX-210", "", true, /*linked=*/false)));
    FakeUsbPort dangling = port("ttyUSB2", "Orvanta Wireless", "KVX-210", "", true);
    dangling.target = (base / "gone").string();
    ASSERT_TRUE(tree->add(dangling));
    ASSERT_TRUE(tree->add(port("ttyUSB3", "Orvanta Wireless", "KVX-210", "", true)));
    std::string name;
    ASSERT_TRUE(engine.findport("Orvanta Wireless DM Port", name));
    EXPECT_EQ(name, dev("ttyUSB3"));
}

TEST_F(EngineDiscovery, SearchTextsAreCaseSensitiveAndNeverEmpty) {
    ASSERT_TRUE(tree->add(port("ttyUSB0", "Orvanta Wireless", "KVX-210", "", true)));
    std::string name;
    EXPECT_FALSE(engine.findport("dm port", name));
    EXPECT_FALSE(engine.findport("", name));
    EXPECT_TRUE(name.empty());
    EXPECT_FALSE(engine.deviceispresent(0)) << "the empty slot of type 0 is never searched";
}

TEST_F(EngineDiscovery, PresenceFollowsThePlug) {
    EXPECT_FALSE(engine.deviceispresent(1));
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Orvanta Wireless", "KVX-210", "", true)));
    EXPECT_TRUE(engine.deviceispresent(1));
    tree->remove("ttyUSB2");
    EXPECT_FALSE(engine.deviceispresent(1));
    ASSERT_TRUE(tree->add(port("ttyACM0", "Someone", "Else")));
    EXPECT_FALSE(engine.deviceispresent(1));
}

TEST_F(EngineDiscovery, DetectPortProbesAndClosesAgain) {
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Orvanta Wireless", "KVX-210", "", true)));
    script->replies = {test::frameOf(test::messageRangeReply({{0, 10}}, 1))};
    std::string out;
    ASSERT_TRUE(engine.detectport(1, out));
    EXPECT_EQ(out, dev("ttyUSB2"));
    EXPECT_FALSE(engine.portopen());
    EXPECT_EQ(script->writes.size(), 1u);
}

TEST_F(EngineDiscovery, DetectPortFailsWithNothingOpenOnASilentPort) {
    ASSERT_TRUE(tree->add(port("ttyUSB2", "Orvanta Wireless", "KVX-210", "", true)));
    std::string out = "unchanged";
    EXPECT_FALSE(engine.detectport(1, out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(script->writes.size(), 11u);
    EXPECT_FALSE(engine.portopen());

    script->refuseOpen = true;
    script->writes.clear();
    EXPECT_FALSE(engine.detectport(1, out));
    EXPECT_TRUE(script->writes.empty());
    EXPECT_FALSE(engine.portopen());
}

TEST_F(EngineDiscovery, DetectPortWithoutADeviceOpensNothing) {
    std::string out;
    EXPECT_FALSE(engine.detectport(1, out));
    EXPECT_TRUE(script->opened.empty());
}

}  // namespace
}  // namespace kvx::serial
