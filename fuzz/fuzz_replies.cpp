// Arbitrary bytes as the modem's replies to the three connection queries: connect must stay
// within its buffers and keep what it learns within the engine's bounds, and the mask
// requests built from it must fit their frames.
//
// Input: chunks of (LE16 length, masked to 0..2048; that many bytes), one per port read; a
// read after the last chunk delivers nothing.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace {

struct Script {
    std::vector<std::vector<uint8_t>> chunks;
    size_t next = 0;
    size_t frames = 0;
};

class FuzzPort final : public kvx::serial::Port {
  public:
    explicit FuzzPort(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    size_t read(std::span<uint8_t> buffer) override {
        if (s_->next >= s_->chunks.size()) return 0;
        const auto& c = s_->chunks[s_->next++];
        const size_t n = std::min(c.size(), buffer.size());
        std::copy_n(c.begin(), n, buffer.begin());
        return n;
    }
    bool write(std::span<const uint8_t> bytes) override {
        if (bytes.empty() || bytes.size() > 4096 || bytes.back() != 0x7E) std::abort();
        ++s_->frames;
        return true;
    }
    void wake() override {}
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }

  private:
    std::shared_ptr<Script> s_;
    std::string path_ = "fuzz";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto script = std::make_shared<Script>();
    size_t pos = 0;
    while (size - pos >= 2) {
        const size_t len =
            std::min<size_t>(static_cast<size_t>(data[pos] | (data[pos + 1] << 8)) & 0x0FFF, 2048);
        pos += 2;
        const size_t take = std::min(len, size - pos);
        script->chunks.emplace_back(data + pos, data + pos + take);
        pos += take;
    }

    kvx::dm::KvxLog engine;
    engine.setportopener([script](const std::string&, kvx::serial::OpenStatus*) {
        return std::make_unique<FuzzPort>(script);
    });
    engine.connect(0, "COM1");

    if (engine.messageranges().size() > kvx::dm::kMaxMessageRanges) std::abort();
    for (const auto& r : engine.messageranges())
        if (r.last >= r.first && r.last - r.first + 1u > kvx::dm::kMaxRangeIds) std::abort();
    for (uint32_t l : engine.loglimits())
        if (l > kvx::dm::kMaxLogItemLimit) std::abort();

    // Every mask request from what was learned, sent to the port (no reply left to read).
    std::vector<kvx::dm::MaskItem> items;
    for (const auto& r : engine.messageranges()) items.push_back({r.first, 31});
    for (int e = 0; e < 16; ++e) items.push_back({(e << 12) | 0xFFF, 0});
    items.push_back({32767, 0});
    engine.sendmessagemasks(items, kvx::dm::kModeSend, nullptr);
    engine.sendlogmasks(items, kvx::dm::kModeSend, nullptr);
    engine.sendeventmask(items, kvx::dm::kModeSend, nullptr);
    engine.close();
    return 0;
}
