// The download-mode client: wakes a modem in the chipset's download mode, asks for its
// memory regions and reads each one into a file of its own in an output folder; also sends
// the reset that restarts the modem. One run at a time, on the caller's (worker) thread.
//
// Threads: run()/runOn()/reset()/resetOn() and the setters on one thread (the dump worker);
// abort() from any thread at any time. The target's operations are called on the running
// thread, synchronously; the records they get are valid only during the call.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "memdump/MemFrames.h"
#include "serial/CommPort.h"

namespace kvx::memdump {

// Results of a run (and of the dialog's worker, which adds kLumeoRunning).
inline constexpr int kDumpFinished = 0;      // finished, nothing to read, or aborted
inline constexpr int kPortFailed = 2;        // the port could not be found or opened
inline constexpr int kProtocolError = 4;     // the state left 0-4
inline constexpr int kLumeoRunning = 7;      // the dialog's own check
inline constexpr int kNoCommunication = 8;   // no answer in 10 s, or 30 s of silence
inline constexpr int kOutputFileFailed = 9;  // a region file could not be created or written

// Message numbers of the two notifications, as a window front end knows them.
inline constexpr uint32_t kProgressMessage = 0x400 + 0x140;
inline constexpr uint32_t kRegionMessage = 0x400 + 0x141;

// Protocol states.
inline constexpr int32_t kStateSearching = 0;
inline constexpr int32_t kStateParameters = 1;
inline constexpr int32_t kStateRegions = 2;
inline constexpr int32_t kStateReading = 3;
inline constexpr int32_t kStateFinished = 4;

struct DumpProgress {
    int32_t state = 0;    // kStateSearching .. kStateFinished
    int32_t counter = 0;  // 0 in states 0-2, read requests sent in state 3, 100 when finished
};

struct MemRegion {
    uint8_t type = 0;          // as the modem sends it; not used
    std::string description;   // at most kDescriptionMax characters
    std::string fileName;      // the announced name, at most kFileNameMax characters
    uint32_t base = 0;         // start address
    uint32_t length = 0;       // bytes
    uint32_t nextAddress = 0;  // address of the next chunk to request
};

struct RegionTable {
    uint8_t current = 0;  // index of the region being read
    uint8_t count = 0;    // announced regions kept (at most kMaxRegions)
    std::array<MemRegion, kMaxRegions> regions{};
};

// One region file of a run.
struct RegionFile {
    size_t region = 0;     // 1-based region number
    std::string name;      // file name in the output folder
    std::string path;      // where it is now (".partial" appended when incomplete)
    uint64_t bytes = 0;    // bytes written
    bool complete = false; // holds the whole region
};

// What a run did, for summaries (command line, dialog).
struct DumpSummary {
    int result = kDumpFinished;
    bool aborted = false;
    uint8_t regions = 0;          // regions announced (kept)
    uint64_t bytesAnnounced = 0;  // sum of their lengths
    uint64_t bytesRead = 0;       // region bytes stored in files
    std::vector<RegionFile> files;
    std::string message;          // why a run ended early, for the user; empty otherwise
};

// Where a run reports to. Called on the running thread; each call returns before the run
// goes on (the records are the run's own and are read during the call only).
class DumpTarget {
  public:
    virtual ~DumpTarget() = default;
    // Progress message: every state change and request round in states 0-2, read requests
    // 1, 129, 257, ... in state 3, and counter 100 on finishing.
    virtual void progress(const DumpProgress& progress) = 0;
    // Region message: once, when the modem's table has been read.
    virtual void regions(const RegionTable& table) = 0;
    // The run's one message box: "No communication received for 30 seconds.  Aborting".
    virtual void messageBox(const std::string& text) = 0;
    // After every stored chunk: region bytes stored so far of the announced total.
    virtual void bytesStored(uint64_t /*done*/, uint64_t /*total*/) {}
    // A region file was closed, complete or not.
    virtual void fileClosed(const RegionFile& /*file*/) {}
    // Diagnostic lines the user normally never sees ("Checksum Error, ..."). Default: stdout.
    virtual void diagnostic(const std::string& line);
};

class MemDebugClient {
  public:
    struct Timing {
        std::chrono::milliseconds search{10000};   // no acknowledgement: give up (state 0)
        std::chrono::milliseconds silence{30000};  // no frame at all: give up (states 1-3)
        // Longest wait for one frame before the state's request is sent again: the read
        // time-out of one 3096-byte read.
        std::chrono::milliseconds pass{3146};
    };

    MemDebugClient();
    ~MemDebugClient();
    MemDebugClient(const MemDebugClient&) = delete;
    MemDebugClient& operator=(const MemDebugClient&) = delete;

    // Set once before a run; null = nobody listens.
    void setTarget(DumpTarget* target) { target_ = target; }
    // Folder the region files go to; default the current working directory.
    void setOutputFolder(std::filesystem::path folder) { outputFolder_ = std::move(folder); }
    // Where auto-detection looks on Linux: the folders standing for /sys and /dev (empty, the
    // default: serial::defaultSysfsRoot() and defaultDevRoot()). Windows does not use them.
    void setDiscoveryRoots(std::string sysfsRoot, std::string devRoot);
    void setTiming(const Timing& timing) { timing_ = timing; }

    // One complete dump. portNumber n > 0 is COM port n; 0 auto-detects. Returns a result
    // above (kDumpFinished .. kOutputFileFailed).
    int run(int portNumber);
    // The same with a port name: "COM<n>", "<n>", a device path; empty auto-detects.
    int runOn(const std::string& portName);
    // The same over a transport that is already open (scripted ports, fuzzing); it is closed
    // and released when the run ends.
    int runWith(std::unique_ptr<serial::Port> port);
    // Any thread: the run in progress, or the next one when none is (an abort that comes
    // while the port is being opened), ends at its next loop pass with kDumpFinished and the
    // summary's aborted set. The request is consumed by the run it ends.
    void abort();
    // Opens the port as run() does (a failure is ignored), sends the reset frame, closes.
    // True when the frame was written.
    bool reset(int portNumber);
    bool resetOn(const std::string& portName);

    // The auto-detected port: the first present port whose friendly name contains "MGX" or
    // whose USB device is in the chipset's download mode (05c6:9008). Empty when none.
    std::string findDumpPort() const;

    // After a run: what it did.
    const DumpSummary& summary() const { return summary_; }
    const serial::OpenStatus& openStatus() const { return port_.status(); }

  private:
    enum class Rx { Nothing, Bad, Good };
    enum class Store { Stored, Dropped, Failed };

    void clearRun();
    int runOpened();
    bool openPort(const std::string& portName);
    void closePort();
    int finish(int result);
    Rx receive(std::span<const uint8_t>& payload);
    size_t readSize() const;
    bool send(std::span<const uint8_t> frame);
    void resendReadRequest();
    void sendProgress();
    bool takeRegionTable(std::span<const uint8_t> payload);
    bool sendReadRequest();
    Store storeChunk(std::span<const uint8_t> payload);
    bool openRegionFile(size_t index);
    void closeRegionFile(bool complete);
    void diagnostic(const std::string& line);

    serial::CommPort port_;
    DumpTarget* target_ = nullptr;
    std::filesystem::path outputFolder_{"."};
    std::string sysfsRoot_;
    std::string devRoot_;
    Timing timing_;
    std::atomic<bool> abort_{false};

    // One run's state.
    FrameReceiver receiver_;
    std::vector<uint8_t> readBuffer_;
    DumpProgress progress_;
    RegionTable table_;
    ReadRequest lastRead_;
    bool haveLastRead_ = false;
    uint32_t requested_ = 0;  // length of the read request in flight
    std::FILE* file_ = nullptr;
    RegionFile current_;
    std::vector<std::string> usedNames_;
    DumpSummary summary_;
};

}  // namespace kvx::memdump
