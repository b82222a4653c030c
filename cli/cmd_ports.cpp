// kvxlog ports: the present serial ports with their friendly names, their stable names and
// USB serial numbers, which of them the engine's device table would take for the maker's
// modem, and which another program holds.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Command.h"
#include "dm/KvxLog.h"
#include "serial/Discovery.h"
#include "serial/PortHolder.h"

namespace kvx::cli {
namespace {

// Device type of the first table row whose text the name contains; the empty row (a port
// typed by the user) matches nothing.
std::optional<int> deviceTypeOf(const dm::KvxLog& engine, const std::string& name) {
    for (const auto& slot : engine.devicetable())
        if (!slot.text.empty() && name.find(slot.text) != std::string::npos) return slot.deviceType;
    return std::nullopt;
}

// Other processes with the port open.
std::vector<serial::PortHolder> holdersOf(const std::string& path, const std::string& procRoot) {
    std::vector<serial::PortHolder> others;
    const int self = static_cast<int>(::getpid());
    for (auto& h : serial::portHolders(path, procRoot))
        if (h.pid != self) others.push_back(std::move(h));
    return others;
}

std::string heldText(const std::vector<serial::PortHolder>& holders) {
    std::string text;
    for (const auto& h : holders)
        text += (text.empty() ? "  [held by " : ", ") + h.name + " (pid " + std::to_string(h.pid) +
                ")";
    return text.empty() ? text : text + "]";
}

// A text read from the device, fit for the terminal: control characters become '?'.
std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

void warnModemManager(const std::string& procRoot) {
    if (!serial::modemManagerRunning(procRoot)) return;
    std::fprintf(stderr,
                 "ModemManager is running: it opens the diagnostics ports of Qualcomm modems. "
                 "Install the udev rule 60-kvxlogplus.rules of KvxLog Plus (then unplug and "
                 "replug the modem) so that it leaves them alone, or stop it: sudo systemctl "
                 "stop ModemManager\n");
}

int runPorts(bool json) {
    dm::KvxLog engine;
    const auto ports = serial::presentPorts();
    const std::string procRoot = serial::defaultProcRoot();
    warnModemManager(procRoot);
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& p : ports) {
            const auto type = deviceTypeOf(engine, p.name);
            nlohmann::ordered_json held = nlohmann::ordered_json::array();
            for (const auto& h : holdersOf(p.path, procRoot))
                held.push_back({{"pid", h.pid}, {"name", h.name}});
            list.push_back({{"port", p.path},
                            {"name", p.name},
                            {"serial", p.serial.empty() ? nlohmann::ordered_json(nullptr)
                                                        : nlohmann::ordered_json(p.serial)},
                            {"by_id", p.byId},
                            {"by_path", p.byPath},
                            {"device_type", type ? nlohmann::ordered_json(*type)
                                                 : nlohmann::ordered_json(nullptr)},
                            {"held_by", held}});
        }
        std::printf(
            "%s\n",
            list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return 0;
    }
    if (ports.empty()) {
        std::printf("No serial ports present.\n");
        return 0;
    }
    size_t width = 0;
    for (const auto& p : ports) width = std::max(width, p.path.size());
    for (const auto& p : ports) {
        const auto type = deviceTypeOf(engine, p.name);
        std::printf("%-*s  %s  [device type %s]%s\n", static_cast<int>(width), p.path.c_str(),
                    p.name.c_str(), type ? std::to_string(*type).c_str() : "none",
                    heldText(holdersOf(p.path, procRoot)).c_str());
        // The stable names, for a capture that must find the same modem after a re-plug.
        if (!p.serial.empty()) std::printf("    serial number: %s\n", printable(p.serial).c_str());
        for (const auto& link : p.byId) std::printf("    by-id:   %s\n", printable(link).c_str());
        for (const auto& link : p.byPath) std::printf("    by-path: %s\n", printable(link).c_str());
    }
    return 0;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "ports",
        "List the present serial ports with their friendly names, stable names and serial numbers");
    auto json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *json,
                  "One JSON array of {\"port\", \"name\", \"serial\", \"by_id\": [...], "
                  "\"by_path\": [...], \"device_type\", \"held_by\": [{\"pid\", \"name\"}]}");
    cmd->footer(
        "device type 1: the name contains one of the texts by which the modem's DM port is found.\n"
        "serial number: the USB device's. by-id, by-path: the names udev keeps for the port\n"
        "under /dev/serial; they survive a re-plug (by-id: maker, model and serial number;\n"
        "by-path: the USB socket, the one to use when two modems share a serial number).\n"
        "Any of them may be given to --port.\n"
        "held by: other processes that have the port open (those this user may see).\n"
        "KVXLOG_SYSFS_ROOT, KVXLOG_DEV_ROOT and KVXLOG_PROC_ROOT stand for /sys, /dev and /proc.\n"
        "On Windows: the present devices of Device Manager's \"Ports (COM & LPT)\"; no holders.");
    cmd->callback([json] { exitStatus() = runPorts(*json); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
