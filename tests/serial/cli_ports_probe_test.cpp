// kvxlog ports and kvxlog probe end to end: the built program against a fake sysfs tree and
// the simulated modem. Skipped when the program has not been built.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"
#include "serial/Port.h"
#include "serial/PtyPair.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
};

class KvxlogCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        program = fs::path(KVX_BINARY_DIR) / "cli" / "kvxlog";
        if (!fs::exists(program)) GTEST_SKIP() << "kvxlog not built";
        base = fs::temp_directory_path() / ("kvx-cli-" + std::to_string(::getpid()));
        fs::remove_all(base);
        tree =
            std::make_unique<modemsim::FakeSysfs>((base / "sys").string(), (base / "dev").string());
    }
    void TearDown() override {
        if (!base.empty()) fs::remove_all(base);
    }

    // Runs kvxlog with the fake tree as /sys and /dev; stdout only (stderr joins it with `both`).
    Outcome run(const std::string& args, bool both = false) const {
        const std::string cmd = extraEnv + "KVXLOG_SYSFS_ROOT='" + tree->root() +
                                "' KVXLOG_DEV_ROOT='" + tree->dev() + "' '" + program.string() +
                                "' " + args +
                                (both ? " 2>&1" : " 2>/dev/null");
        Outcome r;
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int st = ::pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }

    fs::path program, base;
    std::unique_ptr<modemsim::FakeSysfs> tree;
    std::string extraEnv;  // "NAME='value' " pairs put before the others
};

TEST_F(KvxlogCommand, PortsListsNamesAndDeviceTypes) {
    modemsim::FakeUsbPort dm;
    dm.tty = "ttyUSB2";
    dm.manufacturer = "Orvanta Wireless";
    dm.product = "KVX-210";
    dm.target = (base / "node").string();
    dm.serial = "KX2100042";
    modemsim::FakeUsbPort other = dm;
    other.serial.clear();
    other.tty = "ttyACM0";
    other.manufacturer = "Acme";
    other.product = "GPS";
    other.interfaceProtocol = 1;
    ASSERT_TRUE(tree->add(dm));
    ASSERT_TRUE(tree->add(other));

    const Outcome json = run("ports --json");
    EXPECT_EQ(json.status, 0);
    const std::string byId = tree->dev() + "/serial/by-id/";
    const std::string byPath = tree->dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:";
    EXPECT_EQ(json.out,
              "[{\"port\":\"" + tree->dev() +
                  "/ttyACM0\",\"name\":\"Acme GPS (ttyACM0)\",\"serial\":null,\"by_id\":[\"" +
                  byId + "usb-Acme_GPS-if00\"],\"by_path\":[\"" + byPath +
                  "501:1.0\"],\"device_type\":null,\"held_by\":[]}," + "{\"port\":\"" +
                  tree->dev() +
                  "/ttyUSB2\",\"name\":\"Orvanta Wireless DM Port (ttyUSB2)\",\"serial\":"
                  "\"KX2100042\",\"by_id\":[\"" +
                  byId + "usb-Orvanta_Wireless_KVX-210_KX2100042-if00-port0\"],\"by_path\":[\"" +
                  byPath + "3:1.0-port0\"],\"device_type\":1,\"held_by\":[]}]\n");
    const Outcome text = run("ports");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("Orvanta Wireless DM Port (ttyUSB2)  [device type 1]\n"
                            "    serial number: KX2100042\n"
                            "    by-id:   " +
                            byId + "usb-Orvanta_Wireless_KVX-210_KX2100042-if00-port0\n" +
                            "    by-path: " + byPath + "3:1.0-port0\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("Acme GPS (ttyACM0)  [device type none]\n    by-id:   "),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("serial number: \n"), std::string::npos) << text.out;
}

TEST_F(KvxlogCommand, ProbeShowsWhatTheModemReports) {
    modemsim::SimModem::Config cfg;
    cfg.profile.messageRanges = {{0, 120}, {500, 520}};
    cfg.profile.logLimits = {};
    cfg.profile.logLimits[4] = 0x0B00;
    cfg.profile.eventMaskBits = 0x0C00;
    cfg.sysfs.tree = tree.get();
    cfg.sysfs.port.tty = "ttyUSB0";
    cfg.sysfs.port.manufacturer = "Orvanta Wireless";
    cfg.sysfs.port.product = "KVX-210";
    modemsim::SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);

    const Outcome json = run("probe --json");
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out,
              "{\"message_ranges\":[[0,120],[500,520]],\"log_limits\":[0,0,0,0,2816,0,0,0,0,0,0,0,"
              "0,0,0,0],"
              "\"event_mask_size\":3072}\n");
    const Outcome text = run("probe --port COM0");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("Message ranges (2): 0-120 500-520"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Event mask size: 3072"), std::string::npos) << text.out;
    // Its stable names reach the same modem.
    for (const char* name : {"/serial/by-id/usb-Orvanta_Wireless_KVX-210-if00-port0",
                             "/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"}) {
        const Outcome stable = run("probe --port " + tree->dev() + name, true);
        EXPECT_EQ(stable.status, 0) << stable.out;
        EXPECT_NE(stable.out.find("Event mask size: 3072"), std::string::npos) << stable.out;
    }
    modem.stop();
}

TEST_F(KvxlogCommand, ProbeSaysWhyItCouldNot) {
    Outcome r = run("probe", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Couldn't locate the device"), std::string::npos) << r.out;
    r = run("probe --port COM9", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No serial port " + tree->dev() + "/ttyUSB9"), std::string::npos) << r.out;
}

std::string ownName() {
    std::FILE* f = std::fopen("/proc/self/comm", "r");
    char buf[64] = {};
    if (f != nullptr) {
        if (std::fgets(buf, sizeof buf, f) == nullptr) buf[0] = '\0';
        std::fclose(f);
    }
    std::string name = buf;
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

TEST_F(KvxlogCommand, CaptureOnAHeldPortNamesTheHolder) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto held = serial::openport(pty.slavePath());
    ASSERT_NE(held, nullptr);
    const Outcome r = run("capture --log 0x5072 --port " + pty.slavePath() + " --duration 1 -o " +
                              (base / "log").string(),
                          true);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("Could not communicate with the modem\n" + pty.slavePath() +
                         " is in use by another program: " + ownName() + " (pid " +
                         std::to_string(::getpid()) + ")"),
              std::string::npos)
        << r.out;
}

TEST_F(KvxlogCommand, PortsMarksHeldPortsAndWarnsOfModemManager) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    modemsim::FakeUsbPort dm;
    dm.tty = "ttyUSB2";
    dm.manufacturer = "Orvanta Wireless";
    dm.product = "KVX-210";
    dm.target = pty.slavePath();
    ASSERT_TRUE(tree->add(dm));
    modemsim::FakeUsbPort free = dm;
    free.tty = "ttyUSB3";
    free.interfaceProtocol = 0xff;
    free.target = (base / "node").string();
    ASSERT_TRUE(tree->add(free));
    const fs::path proc = base / "proc";
    fs::create_directories(proc / "812" / "fd");
    std::FILE* comm = std::fopen((proc / "812" / "comm").c_str(), "w");
    ASSERT_NE(comm, nullptr);
    std::fputs("ModemManager\n", comm);
    std::fclose(comm);
    fs::create_symlink(pty.slavePath(), proc / "812" / "fd" / "9");
    extraEnv = "KVXLOG_PROC_ROOT='" + proc.string() + "' ";

    const Outcome text = run("ports", true);
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("DM Port (ttyUSB2)  [device type 1]  [held by ModemManager (pid 812)]"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("(ttyUSB3)  [device type none]\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("ModemManager is running"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("sudo systemctl stop ModemManager"), std::string::npos) << text.out;

    const Outcome json = run("ports --json");
    EXPECT_NE(json.out.find("\"held_by\":[{\"pid\":812,\"name\":\"ModemManager\"}]"),
              std::string::npos)
        << json.out;

    fs::remove_all(proc / "812");
    const Outcome quiet = run("ports", true);
    EXPECT_EQ(quiet.out.find("ModemManager"), std::string::npos) << quiet.out;
}

}  // namespace
}  // namespace kvx
