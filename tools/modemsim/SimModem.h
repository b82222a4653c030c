// A simulated Qualcomm DM modem on a pseudo-terminal: answers the host's requests, streams
// what its masks enable, and shows the faults of real hardware on demand (silence, slow
// answers, unplugging, line noise). The stand-in for a modem in tests and in the demo.
//
// Threads: start(), stop() and the destructor from the owning thread. Every other public
// operation may be called from any thread at any time (setters take effect within one poll
// round, dropOff()/comeBack() return once done). One serving thread owns the terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modemsim/DloadModel.h"
#include "modemsim/DmModel.h"
#include "modemsim/FakeSysfs.h"
#include "modemsim/ModemProfile.h"
#include "modemsim/Replay.h"
#include "modemsim/Wire.h"

namespace kvx::modemsim {

using Millis = std::chrono::milliseconds;

struct SimModemConfig {
    ModemProfile profile;

    // Streamed packets per second while logging; 0 = as fast as the terminal carries them.
    uint32_t packetsPerSecond = 0;

    // A recorded capture whose packets are streamed instead of made-up ones (masks applied);
    // null = none. Used by the serving thread only once the modem is started.
    std::shared_ptr<ReplaySource> replay;

    // A symbolic link made to the terminal while the modem is plugged in (stable name for
    // tests and scripts); empty = none. An existing file of that name is replaced.
    std::string linkPath;

    // While plugged in, the modem also appears as a USB port in a fake sysfs tree.
    struct Sysfs {
        FakeSysfs* tree = nullptr;  // not owned, must outlive the modem; null = none
        FakeUsbPort port;           // its target is set to the terminal's path
    } sysfs;

    // Faults.
    bool silent = false;         // answers nothing, streams nothing
    Millis silentAfter{0};       // falls silent this long after start(); 0 = never
    uint32_t answerAfter = 1;    // answers a request from its Nth identical try on
    double corruptShare = 0.0;   // probability that an outgoing byte is damaged (0..1)
    Millis dropAfter{0};         // unplugged this long after start(); 0 = never
    Millis comeBackAfter{0};     // plugged in again this long after any drop; 0 = only by comeBack()
    uint64_t faultSeed = 0x5EED; // seed of the corruption's choices

    // The request log keeps at most this many requests; when full, the older half goes.
    size_t requestLogLimit = 100000;

    // Download mode: the modem speaks the memory-debug side of the download protocol over
    // these regions instead of DM (silent and answerAfter apply as well).
    struct Download {
        bool on = false;
        std::vector<SimRegion> regions;
        uint32_t corruptRead = 0;        // the Nth read response (1-based) has a damaged byte
        uint32_t lateDuplicateRead = 0;  // the Nth read response comes again after the next one
        uint32_t splitWrites = 1;        // every reply is written in this many pieces ...
        Millis splitGap{20};             // ... with this pause between them
    } download;
};

enum class StartError {
    None,
    AlreadyRunning,
    Terminal,  // no pseudo-terminal could be created or configured
    Link,      // the symbolic link could not be made
    Sysfs,     // the fake sysfs port could not be written
    Thread,    // the serving thread (or its wake-up pipe) could not be made
};

struct StartStatus {
    StartError error = StartError::None;
    int sysErrno = 0;
};

// One request as it reached the modem, in arrival order.
struct ReceivedRequest {
    std::vector<uint8_t> payload;  // unescaped, CRC bytes removed (for a bad frame: all but the last two)
    bool crcOk = false;
    RequestEffect effect = RequestEffect::Empty;  // Empty for a bad frame or while silent
    std::chrono::steady_clock::time_point when;
};

// A consistent-enough snapshot: each value is exact, the set may be one update apart.
struct SimCounters {
    uint64_t packetsSent = 0;      // streamed packets fully written (logs, events, messages)
    uint64_t logPacketsSent = 0;
    uint64_t eventPacketsSent = 0;
    uint64_t messagePacketsSent = 0;
    uint64_t repliesSent = 0;      // reply frames fully written
    uint64_t bytesSent = 0;        // bytes written to the terminal
    // Sequence number of the last counter packet (kCounterLogCode) fully written; 0 = none.
    // Numbers are spent only on packets that reach the terminal: packets still queued at a
    // logging stop, a hang or an unplug are dropped and their numbers go to the next ones.
    uint32_t lastSequence = 0;
    uint64_t requestsReceived = 0; // frames received, good or bad
    uint64_t badRequests = 0;      // frames with a bad CRC
    uint64_t drops = 0;            // times unplugged
};

class SimModem {
public:
    using Config = SimModemConfig;

    explicit SimModem(Config config);
    ~SimModem();
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    // Creates the terminal (raw mode), the link and the sysfs port, and starts serving.
    StartStatus start();
    // Ends serving; closes the terminal and removes the link and the sysfs port.
    void stop();

    // The terminal's device path (e.g. /dev/pts/5); empty while unplugged or stopped.
    std::string path() const;
    const std::string& linkPath() const { return config_.linkPath; }
    bool running() const { return running_.load(); }
    bool pluggedIn() const { return present_.load(); }
    // The maker's modem: between logging start and stop; a plain chipset: while a mask
    // enables something.
    bool loggingOn() const { return logging_.load(); }

    // Faults at run time.
    void setSilent(bool silent);       // false also cancels a timed fall into silence
    void goSilentAfter(Millis delay);  // from now; 0 cancels a pending fall into silence
    void setAnswerAfter(uint32_t tries);
    void setCorruptShare(double share);
    void setPacketsPerSecond(uint32_t rate);
    void setComeBackAfter(Millis delay);  // applies to drops from now on
    // Unplugs: the terminal is closed (the host's reads fail with a hang-up), link and sysfs
    // port are removed, the modem loses its state. True when it is unplugged on return.
    bool dropOff();
    // Plugs back in: a new terminal (usually another path), relinked and re-added; the modem
    // starts fresh (logging off, masks clear). True when it is plugged in on return.
    bool comeBack();

    SimCounters counters() const;
    // Download mode: reset requests received so far.
    uint32_t resetsReceived() const { return resets_.load(); }

    std::vector<ReceivedRequest> requests() const;
    size_t requestCount() const;
    void clearRequests();
    // Waits until the log holds at least `count` requests; false on time-out.
    bool waitForRequests(size_t count, Millis timeout) const;

private:
    struct Pending {  // a queued frame, counted as sent once written completely
        uint64_t end;  // stream offset just past its last byte
        uint32_t sequence;
        uint8_t kind;  // 0 log, 1 event, 2 message, 3 reply
    };

    void serve();
    bool openTerminal(StartStatus& st);
    void closeTerminal();
    void unplug(bool countDrop);
    bool plugIn(StartStatus& st);
    bool setPresence(bool present);
    void onFrame(std::span<const uint8_t> payload, bool crcOk);
    void queueFrame(std::span<const uint8_t> payload, uint8_t kind, uint32_t sequence);
    void fillStream(std::chrono::steady_clock::time_point now);
    // Bytes of out_ that reached the terminal.
    void sent(size_t n);
    void writeOut();
    void discardQueuedStream();
    void discardAllQueued();
    bool silentNow(std::chrono::steady_clock::time_point now) const;
    void wake() const;
    void queueDownloadReplies();
    void writeSplit();

    SimModemConfig config_;
    DmModel model_;
    DloadModel dload_;
    uint64_t readReplies_ = 0;          // serving thread only
    std::vector<uint8_t> lateReply_;    // serving thread only

    // Serving thread's own state.
    int master_ = -1;
    int slaveHold_ = -1;  // keeps the slave side open so the master never sees a hang-up
    std::vector<uint8_t> out_;
    size_t outOff_ = 0;
    uint64_t queuedTotal_ = 0;
    uint64_t writtenTotal_ = 0;
    std::vector<Pending> pending_;
    size_t pendingHead_ = 0;
    std::map<std::vector<uint8_t>, uint32_t> tries_;
    std::chrono::steady_clock::time_point nextDue_{};
    bool wasSilent_ = false;
    uint64_t faultRng_;
    std::vector<uint8_t> scratch_;
    std::vector<std::vector<uint8_t>> replies_;
    RequestDeframer deframer_;

    std::thread thread_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int pipeErrno_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> present_{false};
    std::atomic<bool> logging_{false};

    std::atomic<bool> silent_;
    std::atomic<int64_t> silentAtNs_{0};  // steady-clock time of a fall into silence; 0 none
    std::atomic<uint32_t> answerAfter_;
    std::atomic<uint32_t> corruptThreshold_;  // share * 2^32
    std::atomic<uint32_t> rate_;
    std::atomic<int64_t> comeBackAfterNs_;
    int64_t dropAtNs_ = 0;      // serving thread only
    int64_t comeBackAtNs_ = 0;  // serving thread only

    // Plug requests from other threads, handled by the serving thread.
    mutable std::mutex ctlMutex_;
    std::condition_variable ctlDone_;
    bool wantPresent_ = true;
    uint64_t ctlIssued_ = 0;
    uint64_t ctlHandled_ = 0;

    mutable std::mutex pathMutex_;
    std::string path_;

    mutable std::mutex logMutex_;
    mutable std::condition_variable logCv_;
    std::vector<ReceivedRequest> log_;

    std::atomic<uint64_t> packetsSent_{0}, logSent_{0}, eventSent_{0}, messageSent_{0},
        repliesSent_{0}, bytesSent_{0}, requestsReceived_{0}, badRequests_{0}, drops_{0};
    std::atomic<uint32_t> lastSequence_{0};
    std::atomic<uint32_t> resets_{0};
};

}  // namespace kvx::modemsim
