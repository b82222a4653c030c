// Live capture throughput: the main dialog's Start, the logging worker and the engine logging
// the simulated modem on a pseudo-terminal while it streams as fast as the terminal carries
// (log item 0x1234 only). Each repetition captures for two seconds into one file; the figure
// is the bytes read from the port per second (median over the repetitions).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/HeadlessWindow.h"
#include "app/MainDialog.h"
#include "dm/Crc16.h"
#include "modemsim/SimModem.h"

namespace {

namespace ctl = kvx::capture::ctl;
using namespace std::chrono_literals;

std::vector<uint8_t> wireFrame(std::vector<uint8_t> p) {
    const uint16_t crc = kvx::dm::crc16(p.data(), static_cast<uint16_t>(p.size() * 8));
    p.push_back(static_cast<uint8_t>(crc & 0xFF));
    p.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> out;
    for (uint8_t b : p) {
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

void writeFilterFile(const std::filesystem::path& path) {
    const uint32_t limit = 0x0A00;
    std::vector<uint8_t> p = {0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(limit >> (8 * i)));
    std::vector<uint8_t> mask((limit + 7) / 8, 0);
    mask[0x234 / 8] |= static_cast<uint8_t>(1u << (0x234 % 8));
    p.insert(p.end(), mask.begin(), mask.end());
    const auto frame = wireFrame(p);
    std::ofstream out(path, std::ios::binary);
    out.put(0x76).put(0x00).put(0x01);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
}

void BM_LiveCapture(benchmark::State& state) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvxbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::filesystem::path dir = pattern;
    writeFilterFile(dir / "f.sqf");

    kvx::modemsim::SimModem::Config cfg;
    cfg.linkPath = (dir / "dm0").string();
    // Far above what the terminal carries: the modem always waits for room.
    cfg.packetsPerSecond = static_cast<uint32_t>(state.range(0));
    kvx::modemsim::SimModem sim(cfg);
    if (sim.start().error != kvx::modemsim::StartError::None) {
        state.SkipWithError("the simulated modem did not start");
        return;
    }

    uint64_t bytes = 0;
    uint64_t packets = 0;
    {
        kvx::dm::KvxLog engine;
        kvx::app::HeadlessWindow window(nullptr);
        kvx::app::MainDialog dialog(window, engine, "-DOG 0");
        dialog.OnInitDialog(false);
        window.setText(ctl::kCustomPort, cfg.linkPath);
        window.setText(ctl::kLogPath, (dir / "bench.kvx").string());
        window.setText(ctl::kFilterPath, (dir / "f.sqf").string());
        window.setChecked(ctl::kMultipleFiles, false);

        for (auto _ : state) {
            dialog.OnStart();
            while (!dialog.flags().loggingActive.load()) std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(200ms);  // the stream is under way
            const auto before = engine.getstats();
            const auto t0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(2s);
            const auto after = engine.getstats();
            const auto t1 = std::chrono::steady_clock::now();
            dialog.OnStop();
            state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
            bytes += after.bytes - before.bytes;
            packets += after.packets - before.packets;
            for (const auto& f : std::filesystem::directory_iterator(dir)) {
                if (f.path().extension() == ".kvx") std::filesystem::remove(f.path());
            }
        }
    }
    sim.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["packets/s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_LiveCapture)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
