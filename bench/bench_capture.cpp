// Live capture throughput: the main dialog's Start, the logging worker and the engine logging
// the simulated modem on a pseudo-terminal while it streams as fast as the terminal carries
// (log item 0x1234 only). Each repetition captures for two seconds into one file; the figure
// is the bytes read from the port per second (median over the repetitions).
//
// Then a soak (--soak-seconds N, default 30; 0 skips it): the same full-speed stream logged
// for N seconds with a 1 MB size limit checked every 100 ms, so the files rotate as fast as
// their one-second names allow; afterwards every file is read back and the log packets'
// sequence numbers must run 1..N in order, none missing or doubled, with no CRC error.
// The exit status is 1 when the soak finds a loss.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/HeadlessWindow.h"
#include "app/MainDialog.h"
#include "dm/Frame.h"
#include "dm/LogReader.h"
#include "modemsim/SimModem.h"

namespace {

namespace ctl = kvx::capture::ctl;
using namespace std::chrono_literals;

void writeFilterFile(const std::filesystem::path& path) {
    const uint32_t limit = 0x0A00;
    std::vector<uint8_t> p = {0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(limit >> (8 * i)));
    std::vector<uint8_t> mask((limit + 7) / 8, 0);
    mask[0x234 / 8] |= static_cast<uint8_t>(1u << (0x234 % 8));
    p.insert(p.end(), mask.begin(), mask.end());
    const auto frame = kvx::dm::buildFrame(p);
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

// The full-speed soak described at the top; true when nothing was lost.
bool soak(int seconds) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvxsoak-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return false;
    const std::filesystem::path dir = pattern;
    writeFilterFile(dir / "f.sqf");
    const auto oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // the error log goes beside the files

    kvx::modemsim::SimModem::Config cfg;
    cfg.linkPath = (dir / "dm0").string();
    cfg.packetsPerSecond = 1000000;
    kvx::modemsim::SimModem sim(cfg);
    if (sim.start().error != kvx::modemsim::StartError::None) return false;

    kvx::dm::KvxLog engine;
    kvx::app::HeadlessWindow window(nullptr);
    kvx::app::MainDialog dialog(window, engine, "-DOG 0");
    dialog.OnInitDialog(false);
    window.setText(ctl::kCustomPort, cfg.linkPath);
    window.setText(ctl::kLogPath, (dir / "soak.kvx").string());
    window.setText(ctl::kFilterPath, (dir / "f.sqf").string());
    window.setChecked(ctl::kMultipleFiles, true);
    window.setChecked(ctl::kUnitMb, true);
    window.setText(ctl::kLimit, "1");
    window.setTimerHandler([&](int id) { dialog.OnTimer(id); });

    uint64_t bytesRead = 0;
    const auto t0 = std::chrono::steady_clock::now();
    double elapsed = 0;
    std::thread driver([&] {
        window.post([&] { dialog.OnStart(); });
        const auto end = t0 + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(100ms);
            window.post([&] { dialog.OnStatusTimer(); });
        }
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // The modem is told to stop and what it sent is drained before Stop, so the files must
        // hold every packet it sent.
        const auto stop = kvx::dm::buildFrame(std::vector<uint8_t>{0x4B, 0, 0, 0, 1, 0, 0, 0});
        engine.transact(stop.data(), stop.size(), false);
        for (int i = 0; i < 200 && sim.loggingOn(); ++i) std::this_thread::sleep_for(50ms);
        // Drained once the engine has counted no new packet for 1.5 s: longer than a new
        // file waits for its own second, so a rotation under way is not taken for the end.
        uint32_t last = ~0u;
        for (int quiet = 0, i = 0; quiet < 15 && i < 600; ++i) {
            std::this_thread::sleep_for(100ms);
            const uint32_t now = engine.getstats().packets;
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        window.post([&] {
            dialog.OnStop();
            window.close();
        });
    });
    window.run();
    driver.join();
    sim.stop();

    std::vector<std::filesystem::path> files;
    for (const auto& f : std::filesystem::directory_iterator(dir)) {
        if (f.path().extension() == ".kvx") files.push_back(f.path());
    }
    std::sort(files.begin(), files.end());
    uint32_t expected = 1;
    size_t errors = 0, problems = 0;
    for (const auto& f : files) {
        const auto log = kvx::dm::readLogFile(f.string());
        bytesRead += std::filesystem::file_size(f);
        if (log.status != kvx::dm::LogReadStatus::Ok) ++problems;
        for (const auto& r : log.records) {
            const auto body = log.body(r);
            if (r.code == kvx::dm::kCodeNote && body.size() >= 15 &&
                std::memcmp(body.data(), "KvxLog DM Error", 15) == 0)
                ++errors;
            if (r.code != 0x1234 || body.size() < 4) continue;
            const uint32_t seq = body[0] | (body[1] << 8) | (body[2] << 16) |
                                 (static_cast<uint32_t>(body[3]) << 24);
            if (seq != expected) ++problems;
            expected = seq + 1;
        }
    }
    const uint32_t sent = sim.counters().lastSequence;
    const bool ok = problems == 0 && errors == 0 && expected - 1 == sent && sent > 0;
    std::printf(
        "\nsoak: %.1f s at full speed, %zu files (1 MB limit), %.1f MB of log, %u packets sent, "
        "%u in the files in order, %zu out of order or missing, %zu error notes: %s\n",
        elapsed, files.size(), static_cast<double>(bytesRead) / 1e6, sent, expected - 1, problems,
        errors, ok ? "nothing lost" : "LOSS");
    std::filesystem::current_path(oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int soakSeconds = 30;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--soak-seconds") == 0 && i + 1 < argc) {
            soakSeconds = std::atoi(argv[++i]);
            continue;
        }
        args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (soakSeconds > 0 && !soak(soakSeconds)) return 1;
    return 0;
}
