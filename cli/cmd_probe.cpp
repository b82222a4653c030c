// kvxlog probe: connects to the modem as Start does and shows what it learned (message
// ranges, log item limits, event mask size), or why it could not.
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Command.h"
#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace kvx::cli {
namespace {

constexpr int kQuerySends = 11;  // the engine's first send and ten re-sends

// What went over the port: frames per command code, so a failed connection can name the
// query that got no answer.
struct Traffic {
    bool opened = false;
    std::string path;
    std::map<uint8_t, int> sends;
};

class ObservedPort final : public serial::Port {
  public:
    ObservedPort(std::unique_ptr<serial::Port> port, std::shared_ptr<Traffic> traffic)
        : port_(std::move(port)), traffic_(std::move(traffic)) {}
    size_t read(std::span<uint8_t> buffer) override { return port_->read(buffer); }
    bool write(std::span<const uint8_t> bytes) override {
        if (!bytes.empty()) {
            uint8_t code = bytes[0];
            if (code == 0x7D && bytes.size() > 1) code = static_cast<uint8_t>(bytes[1] ^ 0x20);
            ++traffic_->sends[code];
        }
        return port_->write(bytes);
    }
    void wake() override { port_->wake(); }
    bool dead() const override { return port_->dead(); }
    const std::string& path() const override { return port_->path(); }

  private:
    std::unique_ptr<serial::Port> port_;
    std::shared_ptr<Traffic> traffic_;
};

bool unanswered(const Traffic& t, uint8_t code) {
    auto it = t.sends.find(code);
    return it != t.sends.end() && it->second >= kQuerySends;
}

int runProbe(const std::string& portName, bool json) {
    dm::KvxLog engine;
    auto traffic = std::make_shared<Traffic>();
    engine.setportopener([traffic](const std::string& name,
                                   serial::OpenStatus* status) -> std::unique_ptr<serial::Port> {
        auto port = serial::openport(name, status);
        if (!port) return nullptr;
        traffic->opened = true;
        traffic->path = port->path();
        return std::make_unique<ObservedPort>(std::move(port), traffic);
    });

    const bool ok =
        portName.empty() ? engine.connect(1, nullptr) : engine.connect(0, portName.c_str());
    engine.close();
    if (!ok) {
        if (!traffic->opened) {
            const auto& st = engine.lastopenstatus();
            if (portName.empty() && st.path.empty()) {
                std::fprintf(
                    stderr,
                    "kvxlog probe: Couldn't locate the device: no present serial port is named "
                    "like the modem's DM port (see kvxlog ports, or give --port)\n");
            } else {
                std::fprintf(stderr, "kvxlog probe: %s\n", serial::describe(st).c_str());
            }
        } else {
            const char* query = unanswered(*traffic, 0x7D)   ? "message range"
                                : unanswered(*traffic, 0x73) ? "log range"
                                                             : "connection";
            std::fprintf(stderr, "kvxlog probe: no answer to the %s query on %s (sent %d times)\n",
                         query, traffic->path.c_str(), kQuerySends);
        }
        return 1;
    }

    const bool eventSizeKnown = !unanswered(*traffic, 0x81);
    if (json) {
        nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
        for (const auto& r : engine.messageranges()) ranges.push_back({r.first, r.last});
        nlohmann::ordered_json j = {
            {"message_ranges", ranges},
            {"log_limits", engine.loglimits()},
            {"event_mask_size", eventSizeKnown ? nlohmann::ordered_json(engine.eventmasksize())
                                               : nlohmann::ordered_json(nullptr)}};
        std::printf("%s\n", j.dump().c_str());
    } else {
        std::printf("Port: %s\n", traffic->path.c_str());
        std::printf("Message ranges (%zu):", engine.messageranges().size());
        for (const auto& r : engine.messageranges()) std::printf(" %u-%u", r.first, r.last);
        std::printf("\nLog item limits (equipment 0-15):");
        for (uint32_t l : engine.loglimits()) std::printf(" %u", l);
        if (eventSizeKnown) {
            std::printf("\nEvent mask size: %u\n", engine.eventmasksize());
        } else {
            std::printf("\nEvent mask size: no answer\n");
        }
    }
    if (!eventSizeKnown) {
        std::fprintf(stderr,
                     "kvxlog probe: no answer to the event mask size query on %s (sent %d times)\n",
                     traffic->path.c_str(), kQuerySends);
        return 1;
    }
    return 0;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("probe", "Connect to the modem and show its mask sizes");
    auto port = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("--port", *port,
                    "Port name: COM<n> or <n> (/dev/ttyUSB<n>) or a device path; default: the "
                    "detected DM port of the maker's modem");
    cmd->add_flag("--json", *json,
                  "One JSON object {\"message_ranges\": [[first,last],...], "
                  "\"log_limits\": [16 numbers], \"event_mask_size\": n}");
    cmd->footer("Exit status: 0 all three queries answered, 1 otherwise (the reason on stderr).");
    cmd->callback([port, json] { exitStatus() = runProbe(*port, *json); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
