// Whether a running capture is healthy, asked once per status tick by a service front end that
// keeps a supervisor's watchdog fed (WATCHDOG=1) only while it is. Healthy: packets arrive (or
// a new file began); or the capture is silent for less than its own watchdog needs to act; or a
// restart (modem gone, still booting) is in progress and has not run out of time. A worker that
// Stop could not wake is never healthy: only a new process helps then.
//
// Threads: plain values; one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kvx::app {

class CaptureHealth {
  public:
    using Clock = std::chrono::steady_clock;

    struct Sample {
        std::string file;       // the file being written ("" between files)
        uint32_t packets = 0;   // its packet counter (restarts with each file)
        bool restarting = false;  // waiting for the device, or a restart tried again
        bool workerStuck = false; // a worker Stop could not wake
    };

    // `watchdogSeconds`: the capture's own watchdog (0: off); a silence is forgiven for that
    // long plus two status ticks. `restartSeconds`: how long a restart may take.
    CaptureHealth(int watchdogSeconds, int restartSeconds);

    bool tick(const Sample& sample, Clock::time_point now);

  private:
    std::chrono::seconds grace_;
    std::chrono::seconds restartAllowance_;
    std::string lastFile_;
    uint32_t lastPackets_ = 0;
    bool started_ = false;
    Clock::time_point lastProgress_{};
    bool restarting_ = false;
    Clock::time_point restartSince_{};
};

}  // namespace kvx::app
