// Port discovery over a device list as the Windows device installer gives it: which entries
// become ports, their names and USB ids, and the engine's search over them (slot order, device
// order, a device whose key is missing). Runs on every system through the device source.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "dm/KvxLog.h"
#include "serial/Discovery.h"

namespace kvx::serial {
namespace {

namespace fs = std::filesystem;

TEST(DeviceList, EntriesBecomePortsInListOrder) {
    const std::vector<PortDevice> devices = {
        {"Orvanta Wireless DM Port (COM7)", "Orvanta Wireless DM Port",
         {"USB\\VID_1F2E&PID_0210&REV_0100&MI_00", "USB\\VID_1F2E&PID_0210&MI_00"}, "COM7"},
        {"", "Qualcomm HS-USB QDLoader 9008", {"USB\\VID_05c6&PID_9008&REV_0000"}, "COM12"},
        {"Communications Port (COM1)", "Communications Port", {"ACPI\\PNP0501"}, "COM1"},
        {"Orvanta Wireless DM Port (COM3)", "", {"USB\\VID_1F2E&PID_0210"}, std::nullopt},
        {"Orvanta Wireless DM Port (COM4)", "", {}, ""},
        {"", "", {}, "COM20"},
    };
    const auto ports = portsFromDevices(devices);
    struct Want {
        const char* port;
        const char* name;
        uint16_t vid, pid;
    };
    const Want want[] = {
        {"COM7", "Orvanta Wireless DM Port (COM7)", 0x1F2E, 0x0210},
        {"COM12", "Qualcomm HS-USB QDLoader 9008", 0x05C6, 0x9008},
        {"COM1", "Communications Port (COM1)", 0, 0},
        {"COM20", "", 0, 0},
    };
    ASSERT_EQ(ports.size(), std::size(want)) << "a device without a port name is no port";
    for (size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(want[i].port);
        EXPECT_EQ(ports[i].path, want[i].port);
        EXPECT_EQ(ports[i].tty, want[i].port);
        EXPECT_EQ(ports[i].name, want[i].name);
        EXPECT_EQ(ports[i].vendorId, want[i].vid);
        EXPECT_EQ(ports[i].productId, want[i].pid);
    }
}

TEST(DeviceList, UsbIdsOfHardwareIds) {
    const struct {
        const char* id;
        bool found;
        uint16_t vid, pid;
    } cases[] = {
        {"USB\\VID_05C6&PID_9008", true, 0x05C6, 0x9008},
        {"usb\\vid_05c6&pid_9008&rev_0000", true, 0x05C6, 0x9008},
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", true, 0x0403, 0x6001},
        {"USB\\VID_05C6", false, 0, 0},
        {"USB\\VID_05CG&PID_9008", false, 0, 0},
        {"USB\\XVID_05C6&PID_9008", false, 0, 0},
        {"USB\\VID_05C", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        uint16_t vid = 1, pid = 1;
        EXPECT_EQ(usbIdsOf(c.id, vid, pid), c.found);
        if (c.found) {
            EXPECT_EQ(vid, c.vid);
            EXPECT_EQ(pid, c.pid);
        }
    }
}

// The engine's search over a device list set in place of the system's. Port names are files
// of a scratch folder, so that Linux, which checks that a port's node exists, finds them too.
class DeviceListSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("kvx-devices-" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        setPortDeviceSource([this] { return devices; });
    }
    void TearDown() override {
        setPortDeviceSource({});
        fs::remove_all(folder);
    }
    PortDevice device(const std::string& friendly, const std::string& port,
                      bool keyPresent = true) {
        const std::string path = (folder / port).string();
        std::ofstream(path) << "";
        PortDevice d;
        d.friendlyName = friendly;
        if (keyPresent) d.portName = path;
        return d;
    }
    std::string path(const std::string& port) const { return (folder / port).string(); }

    fs::path folder;
    std::vector<PortDevice> devices;
    dm::KvxLog engine;
};

TEST_F(DeviceListSearch, SlotOrderThenDeviceOrder) {
    devices = {device("Other DM Port (COM3)", "COM3"),
               device("Orvanta Wireless DM Port (COM9)", "COM9"),
               device("Orvanta Wireless COM Port Device (COM11)", "COM11"),
               device("Orvanta Wireless DM Port (COM5)", "COM5")};
    std::string name;
    ASSERT_TRUE(engine.findport("DM Port", name));
    EXPECT_EQ(name, path("COM3")) << "the lower device index wins within one text";
    ASSERT_TRUE(engine.findport("Orvanta Wireless DM Port", name));
    EXPECT_EQ(name, path("COM9"));
    EXPECT_TRUE(engine.deviceispresent(1));
    EXPECT_FALSE(engine.findport("dm port", name)) << "the search is case-sensitive";
    EXPECT_FALSE(engine.findport("", name));
    EXPECT_FALSE(engine.deviceispresent(0));
}

TEST_F(DeviceListSearch, MatchWhoseKeyIsMissingGoesOnToTheNext) {
    devices = {device("Orvanta Wireless DM Port (COM4)", "COM4", /*keyPresent=*/false),
               device("Orvanta Wireless DM Port (COM6)", "COM6")};
    std::string name;
    ASSERT_TRUE(engine.findport("Orvanta Wireless DM Port", name));
    EXPECT_EQ(name, path("COM6"));
    devices.pop_back();
    EXPECT_FALSE(engine.findport("Orvanta Wireless DM Port", name));
    EXPECT_FALSE(engine.deviceispresent(1));
}

TEST_F(DeviceListSearch, DescriptionStandsInForAMissingFriendlyName) {
    PortDevice d = device("", "COM8");
    d.description = "KVX Diagnostics Interface";
    devices = {d};
    std::string name;
    ASSERT_TRUE(engine.findport("KVX Diagnostics Interface", name));
    EXPECT_EQ(name, path("COM8"));
    EXPECT_TRUE(engine.deviceispresent(1));
}

}  // namespace
}  // namespace kvx::serial
