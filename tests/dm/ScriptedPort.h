// A scripted stand-in for a serial port: records every write and every read in order and
// answers reads from a queue of prepared chunks (nothing when the queue is empty).
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dm/Frame.h"
#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace kvx::test {

using Bytes = std::vector<uint8_t>;

struct PortScript {
    std::deque<Bytes> replies;  // one per read, in order
    std::vector<Bytes> writes;  // every frame written
    std::vector<char> events;   // 'W' per write, 'R' per read, in order
    std::vector<std::string> opened;
    // Answers a read when set; otherwise replies are taken from the queue.
    std::function<Bytes(const Bytes& lastWrite)> responder;
    bool refuseOpen = false;
};

class ScriptedPort final : public serial::Port {
  public:
    ScriptedPort(std::shared_ptr<PortScript> script, std::string path)
        : script_(std::move(script)), path_(std::move(path)) {}

    size_t read(std::span<uint8_t> buffer) override {
        script_->events.push_back('R');
        Bytes chunk;
        if (script_->responder) {
            chunk = script_->responder(script_->writes.empty() ? Bytes{} : script_->writes.back());
        } else if (!script_->replies.empty()) {
            chunk = std::move(script_->replies.front());
            script_->replies.pop_front();
        }
        const size_t n = std::min(chunk.size(), buffer.size());
        std::copy_n(chunk.begin(), n, buffer.begin());
        return n;
    }
    bool write(std::span<const uint8_t> bytes) override {
        script_->events.push_back('W');
        script_->writes.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    void wake() override {}
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }

  private:
    std::shared_ptr<PortScript> script_;
    std::string path_;
};

// Installs the script as the engine's port opener.
inline std::shared_ptr<PortScript> scriptPorts(dm::KvxLog& engine) {
    auto script = std::make_shared<PortScript>();
    engine.setportopener([script](const std::string& name,
                                  serial::OpenStatus* status) -> std::unique_ptr<serial::Port> {
        script->opened.push_back(name);
        if (script->refuseOpen) {
            if (status) *status = {serial::OpenError::NotFound, 2, name};
            return nullptr;
        }
        return std::make_unique<ScriptedPort>(script, name);
    });
    return script;
}

inline Bytes frameOf(const Bytes& payload) {
    return dm::buildFrame(payload);
}

// Replies of a modem with the given tables.
inline Bytes messageRangeReply(const std::vector<std::pair<uint16_t, uint16_t>>& ranges,
                               uint32_t count) {
    Bytes p = {0x7D,
               0x01,
               0x01,
               0x00,
               static_cast<uint8_t>(count),
               static_cast<uint8_t>(count >> 8),
               static_cast<uint8_t>(count >> 16),
               static_cast<uint8_t>(count >> 24)};
    for (auto [first, last] : ranges) {
        p.push_back(static_cast<uint8_t>(first));
        p.push_back(static_cast<uint8_t>(first >> 8));
        p.push_back(static_cast<uint8_t>(last));
        p.push_back(static_cast<uint8_t>(last >> 8));
    }
    return p;
}

inline Bytes logRangeReply(const std::array<uint32_t, 16>& limits) {
    Bytes p = {0x73, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    for (uint32_t l : limits)
        for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(l >> (8 * i)));
    return p;
}

inline Bytes eventSizeReply(uint16_t size) {
    return {0x81, 0x00, 0x00, 0x00, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
}

}  // namespace kvx::test
