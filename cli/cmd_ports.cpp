// kvxlog ports: the present serial ports with their friendly names, and which of them the
// engine's device table would take for the maker's modem.
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Command.h"
#include "dm/KvxLog.h"
#include "serial/Discovery.h"

namespace kvx::cli {
namespace {

// Device type of the first table row whose text the name contains; the empty row (a port
// typed by the user) matches nothing.
std::optional<int> deviceTypeOf(const dm::KvxLog& engine, const std::string& name) {
    for (const auto& slot : engine.devicetable())
        if (!slot.text.empty() && name.find(slot.text) != std::string::npos) return slot.deviceType;
    return std::nullopt;
}

int runPorts(bool json) {
    dm::KvxLog engine;
    const auto ports = serial::listPorts(serial::defaultSysfsRoot(), serial::defaultDevRoot());
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& p : ports) {
            const auto type = deviceTypeOf(engine, p.name);
            list.push_back({{"port", p.path},
                            {"name", p.name},
                            {"device_type", type ? nlohmann::ordered_json(*type)
                                                 : nlohmann::ordered_json(nullptr)}});
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
        std::printf("%-*s  %s  [device type %s]\n", static_cast<int>(width), p.path.c_str(),
                    p.name.c_str(), type ? std::to_string(*type).c_str() : "none");
    }
    return 0;
}

void setup(CLI::App& app) {
    auto* cmd =
        app.add_subcommand("ports", "List the present serial ports and their friendly names");
    auto json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *json, "One JSON array of {\"port\", \"name\", \"device_type\"}");
    cmd->footer(
        "device type 1: the name contains one of the texts by which the modem's DM port is found.\n"
        "KVXLOG_SYSFS_ROOT and KVXLOG_DEV_ROOT stand for /sys and /dev.");
    cmd->callback([json] { exitStatus() = runPorts(*json); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
