// `memdump --port auto` over a device list as the Windows device installer gives it: the
// download-mode port is found by its USB ID 05C6:9008 in the hardware ID, or by name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "memdump/MemDebugClient.h"
#include "serial/Discovery.h"

namespace kvx::memdump {
namespace {

namespace fs = std::filesystem;

TEST(DumpPortSearch, DownloadModeByHardwareIdOrByName) {
    const fs::path folder = fs::temp_directory_path() / "kvx-dump-port-search";
    fs::remove_all(folder);
    fs::create_directories(folder);
    auto port = [&](const std::string& name) {
        const std::string p = (folder / name).string();
        std::ofstream(p) << "";
        return p;
    };
    const struct {
        const char* friendly;
        const char* hardwareId;
        bool found;
    } cases[] = {
        {"Qualcomm HS-USB QDLoader 9008 (COM9)", "USB\\VID_05C6&PID_9008&REV_0000", true},
        {"QHSUSB__BULK (COM9)", "usb\\vid_05c6&pid_9008", true},
        {"MGX Download Port (COM9)", "USB\\VID_1F2E&PID_0210", true},
        {"Orvanta Wireless DM Port (COM9)", "USB\\VID_1F2E&PID_0210", false},
        {"Qualcomm HS-USB Diagnostics 9091 (COM9)", "USB\\VID_05C6&PID_9091", false},
    };
    std::vector<serial::PortDevice> devices;
    serial::setPortDeviceSource([&] { return devices; });
    MemDebugClient client;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.friendly);
        serial::PortDevice other{"Communications Port (COM1)", "", {"ACPI\\PNP0501"}, port("COM1")};
        serial::PortDevice modem{c.friendly, "", {c.hardwareId}, port("COM9")};
        devices = {other, modem};
        EXPECT_EQ(client.findDumpPort(), c.found ? port("COM9") : std::string());
    }
    serial::setPortDeviceSource({});
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kvx::memdump
