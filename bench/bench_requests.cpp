// The filter requests for a full modem (255 message ranges, 16 equipment identifiers of 4096
// log items, a 4096-bit event mask) built from a large filter: written to a request script
// file, and sent through a port that swallows them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dm/Frame.h"
#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kRanges = 255;
constexpr int kRangeIds = 100;  // 255 x 100 identifiers
constexpr uint32_t kLogLimit = 4096;
constexpr uint16_t kEventBits = 4096;

Bytes le(uint32_t v, int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

// Answers the three connection queries of a full modem; swallows everything else.
class FullModemPort final : public kvx::serial::Port {
  public:
    size_t read(std::span<uint8_t> buffer) override {
        Bytes payload;
        if (last_ == 0x7D) {
            payload = {0x7D, 0x01, 0x01, 0x00};
            auto n = le(kRanges, 4);
            payload.insert(payload.end(), n.begin(), n.end());
            for (int r = 0; r < kRanges; ++r) {
                auto f = le(static_cast<uint32_t>(r * 128), 2),
                     l = le(static_cast<uint32_t>(r * 128 + kRangeIds - 1), 2);
                payload.insert(payload.end(), f.begin(), f.end());
                payload.insert(payload.end(), l.begin(), l.end());
            }
        } else if (last_ == 0x73) {
            payload = {0x73, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
            for (int e = 0; e < 16; ++e) {
                auto l = le(kLogLimit, 4);
                payload.insert(payload.end(), l.begin(), l.end());
            }
        } else if (last_ == 0x81) {
            payload = {0x81,
                       0x00,
                       0x00,
                       0x00,
                       static_cast<uint8_t>(kEventBits),
                       static_cast<uint8_t>(kEventBits >> 8)};
        }
        last_ = 0;
        if (payload.empty()) return 0;
        const Bytes frame = kvx::dm::buildFrame(payload);
        const size_t n = std::min(frame.size(), buffer.size());
        std::copy_n(frame.begin(), n, buffer.begin());
        return n;
    }
    bool write(std::span<const uint8_t> bytes) override {
        // Only the three connection queries are answered; mask requests get no reply here.
        const Bytes sent(bytes.begin(), bytes.end());
        last_ = sent == kvx::dm::buildFrame(Bytes{0x7D, 0x01})                  ? 0x7D
                : sent == kvx::dm::buildFrame(Bytes{0x73, 0, 0, 0, 1, 0, 0, 0}) ? 0x73
                : sent == kvx::dm::buildFrame(Bytes{0x81, 0, 0, 0})             ? 0x81
                                                                                : 0;
        written_ += bytes.size();
        return true;
    }
    void wake() override {}
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }

  private:
    uint8_t last_ = 0;
    size_t written_ = 0;
    std::string path_ = "full-modem";
};

struct Setup {
    kvx::dm::KvxLog engine;
    std::vector<kvx::dm::MaskItem> messages, logs, events;
    bool ok = false;

    Setup() {
        engine.setportopener([](const std::string&, kvx::serial::OpenStatus*) {
            return std::make_unique<FullModemPort>();
        });
        ok = engine.connect(0, "COM1");
        // A filter with everything of interest ticked: 7000 of each kind at most.
        for (int r = 0; r < kRanges && messages.size() < 7000; ++r)
            for (int id = 0; id < kRangeIds && messages.size() < 7000; id += 4)
                messages.push_back({r * 128 + id, id % 32});
        for (int e = 0; e < 16; ++e)
            for (int item = 0; item < 4096 && logs.size() < 7000; item += 8)
                logs.push_back({(e << 12) | item, 0});
        for (int id = 0; id < 4000; ++id) events.push_back({id, 0});
    }
};

void BM_MasksToScriptFile(benchmark::State& state) {
    Setup s;
    if (!s.ok) {
        state.SkipWithError("connect failed");
        return;
    }
    FILE* out = std::tmpfile();
    if (out == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    long bytes = 0;
    for (auto _ : state) {
        std::rewind(out);
        s.engine.writescriptheader(out);
        s.engine.sendnvread(87, kvx::dm::kModeFile, out);
        s.engine.sendlogmasks(s.logs, kvx::dm::kModeFile, out);
        s.engine.sendeventmask(s.events, kvx::dm::kModeFile, out);
        s.engine.sendmessagemasks(s.messages, kvx::dm::kModeFile, out);
        bytes = std::ftell(out);
    }
    std::fclose(out);
    state.counters["script_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_MasksToScriptFile)->Unit(benchmark::kMicrosecond);

void BM_MasksSent(benchmark::State& state) {
    Setup s;
    if (!s.ok) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        s.engine.sendlogmasks(s.logs, kvx::dm::kModeSend, nullptr);
        s.engine.sendeventmask(s.events, kvx::dm::kModeSend, nullptr);
        s.engine.sendmessagemasks(s.messages, kvx::dm::kModeSend, nullptr);
    }
}
BENCHMARK(BM_MasksSent)->Unit(benchmark::kMicrosecond);

void BM_Connect(benchmark::State& state) {
    kvx::dm::KvxLog engine;
    engine.setportopener([](const std::string&, kvx::serial::OpenStatus*) {
        return std::make_unique<FullModemPort>();
    });
    for (auto _ : state) benchmark::DoNotOptimize(engine.connect(0, "COM1"));
}
BENCHMARK(BM_Connect)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
