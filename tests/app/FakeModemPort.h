// A scripted DM port for capture tests, in process (no pseudo-terminal): it answers the three
// connection queries, records every request it is sent, and streams log packets (code 0x1234,
// body = a 32-bit sequence number) that the test pushes. It can refuse to answer, go dead, or
// jam writes from the worker so that Stop cannot wake it. Install it with engine.setportopener.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dm/Crc16.h"
#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace kvx::testing {

inline constexpr uint16_t kStreamLogCode = 0x1234;

// The wire frame of a payload (escaped, CRC low byte first, 0x7E).
inline std::vector<uint8_t> wireFrame(const std::vector<uint8_t>& payload) {
    const uint16_t crc = dm::crc16(payload.data(), static_cast<uint16_t>(payload.size() * 8));
    std::vector<uint8_t> plain = payload;
    plain.push_back(static_cast<uint8_t>(crc & 0xFF));
    plain.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> out;
    for (uint8_t b : plain) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0x7E);
    return out;
}

// A 0x10 log packet carrying the record (length, code 0x1234, zero time, LE32 sequence).
inline std::vector<uint8_t> logPacket(uint32_t sequence) {
    const uint16_t recordLength = 12 + 4;
    std::vector<uint8_t> p = {0x10,
                              0x00,
                              static_cast<uint8_t>(recordLength & 0xFF),
                              static_cast<uint8_t>(recordLength >> 8),
                              static_cast<uint8_t>(recordLength & 0xFF),
                              static_cast<uint8_t>(recordLength >> 8),
                              static_cast<uint8_t>(kStreamLogCode & 0xFF),
                              static_cast<uint8_t>(kStreamLogCode >> 8)};
    p.insert(p.end(), 8, 0);
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
    return p;
}

// The state a test keeps: shared by every port the opener hands out.
class FakeModemLine {
  public:
    std::atomic<bool> answer{true};      // reply to the connection queries
    std::atomic<bool> dead{false};       // the device went away
    std::atomic<bool> jamWrites{false};  // writes from other threads block until released
    std::atomic<int> jammedWriters{0};   // writes blocked by jamWrites right now
    std::atomic<int> opens{0};
    std::atomic<long> reads{0};  // read calls, to see that nobody spins

    // Queues log packets with the next `count` sequence numbers.
    void stream(uint32_t count) {
        std::lock_guard lock(mutex_);
        for (uint32_t i = 0; i < count; ++i) {
            auto frame = wireFrame(logPacket(++sequence_));
            pending_.insert(pending_.end(), frame.begin(), frame.end());
        }
        cv_.notify_all();
    }
    uint32_t sequenceSent() const {
        std::lock_guard lock(mutex_);
        return sequence_;
    }
    // Bytes queued but not yet read.
    size_t pendingBytes() const {
        std::lock_guard lock(mutex_);
        return pending_.size();
    }
    // The unescaped payloads of every request received, CRC removed.
    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void releaseWrites() {
        std::lock_guard lock(mutex_);
        jamWrites.store(false);
        cv_.notify_all();
    }
    void setOwnerThread() { owner_ = std::this_thread::get_id(); }

    // ---- port side -------------------------------------------------------------------------
    size_t read(std::span<uint8_t> buffer, std::atomic<bool>& woken) {
        reads.fetch_add(1);
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(20),
                     [&] { return !pending_.empty() || woken.load(); });
        if (woken.exchange(false) || dead.load()) return 0;
        const size_t n = std::min(buffer.size(), pending_.size());
        std::copy_n(pending_.begin(), n, buffer.begin());
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
        return n;
    }
    bool write(std::span<const uint8_t> bytes) {
        std::unique_lock lock(mutex_);
        if (jamWrites.load() && std::this_thread::get_id() != owner_) {
            jammedWriters.fetch_add(1);
            cv_.wait(lock, [&] { return !jamWrites.load(); });
            jammedWriters.fetch_sub(1);
        }
        if (dead.load()) return false;
        for (uint8_t b : bytes) {
            if (b == 0x7E) {
                if (!frame_.empty()) handleFrame();
                frame_.clear();
                escape_ = false;
            } else if (b == 0x7D) {
                escape_ = true;
            } else {
                frame_.push_back(escape_ ? static_cast<uint8_t>(b ^ 0x20) : b);
                escape_ = false;
            }
        }
        return true;
    }
    void wake() { cv_.notify_all(); }

  private:
    void handleFrame() {
        if (frame_.size() < 2) return;
        std::vector<uint8_t> payload(frame_.begin(), frame_.end() - 2);
        requests_.push_back(payload);
        if (!answer.load()) return;
        std::vector<uint8_t> reply;
        if (payload.size() >= 2 && payload[0] == 0x7D && payload[1] == 0x01) {
            reply = {0x7D, 0x01, 0x01, 0x00, 1, 0, 0, 0, 0x00, 0x00, 0x0A, 0x00};
        } else if (payload.size() >= 5 && payload[0] == 0x73 && payload[4] == 0x01) {
            reply = {0x73, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
            for (int e = 0; e < 16; ++e) {
                const uint32_t limit = e == 1 ? 0x500 : 0;
                for (int i = 0; i < 4; ++i) reply.push_back(static_cast<uint8_t>(limit >> (8 * i)));
            }
        } else if (payload.size() >= 1 && payload[0] == 0x81) {
            reply = {0x81, 0x00, 0x00, 0x00, 0x40, 0x00};
        } else {
            return;
        }
        auto frame = wireFrame(reply);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<uint8_t> pending_;
    std::vector<uint8_t> frame_;
    bool escape_ = false;
    uint32_t sequence_ = 0;
    std::vector<std::vector<uint8_t>> requests_;
    std::thread::id owner_ = std::this_thread::get_id();
};

class FakeModemPort : public serial::Port {
  public:
    FakeModemPort(std::shared_ptr<FakeModemLine> line, std::string path)
        : line_(std::move(line)), path_(std::move(path)) {}
    size_t read(std::span<uint8_t> buffer) override { return line_->read(buffer, woken_); }
    bool write(std::span<const uint8_t> bytes) override { return line_->write(bytes); }
    void wake() override {
        woken_.store(true);
        line_->wake();
    }
    bool dead() const override { return line_->dead.load(); }
    const std::string& path() const override { return path_; }

  private:
    std::shared_ptr<FakeModemLine> line_;
    std::string path_;
    std::atomic<bool> woken_{false};
};

// Makes `engine` open FakeModemPorts on `line`; a dead line cannot be opened.
inline void installFakeModem(dm::KvxLog& engine, std::shared_ptr<FakeModemLine> line) {
    engine.setportopener([line](const std::string& name,
                                serial::OpenStatus* status) -> std::unique_ptr<serial::Port> {
        if (line->dead.load() || serial::portPath(name).empty()) {
            if (status) status->error = serial::OpenError::NotFound;
            return nullptr;
        }
        line->opens.fetch_add(1);
        return std::make_unique<FakeModemPort>(line, name);
    });
}

}  // namespace kvx::testing
