#include "app/CaptureHealth.h"

namespace kvx::app {

namespace {
// Two status ticks: the capture's watchdog counts silence in steps of 2 s and acts at a tick.
constexpr std::chrono::seconds kTickSlack{4};
}  // namespace

CaptureHealth::CaptureHealth(int watchdogSeconds, int restartSeconds)
    : grace_(std::chrono::seconds(watchdogSeconds > 0 ? watchdogSeconds : 0) + kTickSlack),
      restartAllowance_(restartSeconds) {}

bool CaptureHealth::tick(const Sample& s, Clock::time_point now) {
    if (s.workerStuck) return false;
    const bool progress =
        !started_ || s.file != lastFile_ || (s.packets != lastPackets_ && s.packets != 0);
    started_ = true;
    lastFile_ = s.file;
    lastPackets_ = s.packets;
    if (progress && !s.restarting) {
        lastProgress_ = now;
        restarting_ = false;
        return true;
    }
    if (s.restarting) {
        if (!restarting_) {
            restarting_ = true;
            restartSince_ = now;
        }
        if (now - restartSince_ < restartAllowance_) return true;
        return false;
    }
    restarting_ = false;
    return now - lastProgress_ < grace_;
}

}  // namespace kvx::app
