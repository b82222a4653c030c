// Live logging through the real serial port on a pseudo-terminal: however the modem's bytes
// arrive (one at a time, in bursts larger than the port reads ahead, with pauses), the log
// holds the same bytes as the same stream received in one piece, and everything received is
// on the disk by the time a read has to wait for the line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "RealDataCounts.h"
#include "dm/LogTestSupport.h"
#include "serial/PtyPair.h"

namespace kvx::dm {
namespace {

using dmtest::Bytes;
using dmtest::TempFile;

// The real port once `live` is set; before, reads find nothing at once, so connect's queries
// fail quickly and leave the port open as the engine's input.
class LaterPort final : public serial::Port {
  public:
    LaterPort(std::unique_ptr<serial::Port> inner, std::atomic<bool>& live)
        : inner_(std::move(inner)), live_(live) {}
    size_t read(std::span<uint8_t> buffer) override {
        return live_.load() ? inner_->read(buffer) : 0;
    }
    size_t buffered() const override { return inner_->buffered(); }
    bool write(std::span<const uint8_t>) override { return true; }
    void wake() override { inner_->wake(); }
    bool dead() const override { return inner_->dead(); }
    const std::string& path() const override { return inner_->path(); }

  private:
    std::unique_ptr<serial::Port> inner_;
    std::atomic<bool>& live_;
};

struct Pacing {
    const char* name;
    size_t minPiece, maxPiece;  // bytes per write of the modem
    int pauseEvery;             // a pause of up to 15 ms after every this many writes (0: none)
};

TEST(LivePort, TheLogIsTheSameHoweverTheBytesArrive) {
    const std::filesystem::path dir = KVX_REALDATA_DIR;
    const auto capture = dir / "rayhunter-traces_1749222138-goodsim.qmdl";
    if (!std::filesystem::exists(capture)) GTEST_SKIP() << "no real capture at " << capture;
    const Bytes stream = dmtest::readBytes(capture.string());
    ASSERT_GT(stream.size(), 100000u);
    const Bytes expected = dmtest::convert(stream).file;

    const Pacing pacings[] = {
        {"single bytes", 1, 1, 0},
        {"small writes with pauses", 1, 300, 7},
        {"bursts beyond the read-ahead", 70000, 140000, 0},
        {"mixed", 1, 9000, 3},
    };
    for (const auto& pacing : pacings) {
        SCOPED_TRACE(pacing.name);
        // Single bytes: a part of the stream is enough (each write is a system call).
        const size_t length = pacing.maxPiece == 1 ? 7493 : stream.size();
        const Bytes input(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
        const Bytes want = length == stream.size() ? expected : dmtest::convert(input).file;

        test::PtyPair pty;
        ASSERT_TRUE(pty.ok());
        std::atomic<bool> live{false};
        KvxLog engine;
        engine.setportopener([&](const std::string&, serial::OpenStatus* status) {
            auto port = serial::openport(pty.slavePath(), status);
            return port ? std::make_unique<LaterPort>(std::move(port), live) : nullptr;
        });
        engine.connect(0, "COM3");
        ASSERT_TRUE(engine.portopen());
        TempFile out;
        ASSERT_TRUE(engine.openlog(out.path()));
        live.store(true);

        std::atomic<bool> sent{false};
        std::thread modem([&] {
            std::mt19937 rng(7);
            std::uniform_int_distribution<size_t> piece(pacing.minPiece, pacing.maxPiece);
            std::uniform_int_distribution<int> pause(0, 15);
            size_t at = 0;
            for (int n = 1; at < input.size(); ++n) {
                const size_t k = std::min(piece(rng), input.size() - at);
                // The terminal holds only so much: write what it takes, wait for room.
                size_t done = 0;
                while (done < k) {
                    const ssize_t w = ::write(pty.master(), input.data() + at + done, k - done);
                    if (w > 0) {
                        done += static_cast<size_t>(w);
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
                at += k;
                if (pacing.pauseEvery > 0 && n % pacing.pauseEvery == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
            }
            sent.store(true);
        });
        // Read until a read after the modem's last write has found the line quiet.
        for (;;) {
            const bool done = sent.load();
            if (engine.dispatch() == 0 && done) break;
        }
        modem.join();
        EXPECT_EQ(engine.getstats().bytes, input.size());
        // A read waited for the line: every whole block received is on the disk already.
        const auto onDisk = std::filesystem::file_size(out.path());
        EXPECT_GE(onDisk + 8, want.size());
        EXPECT_EQ(onDisk % 8, 0u);
        engine.closelog();
        EXPECT_EQ(dmtest::readBytes(out.path()), want);
    }
}

}  // namespace
}  // namespace kvx::dm
