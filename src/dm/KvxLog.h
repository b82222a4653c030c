// The DM engine: one per program. Receive half: reads chunks from the DM port or a raw DM
// file, cuts them into frames, checks CRCs, turns packets into log records and writes them
// through the enciphering log writer, counting bytes, packets and errors. Send half: connects
// to the modem, learns its mask sizes, sends filter, status and logging requests, and writes
// or replays request scripts.
//
// Threads: the logging worker owns the receive half (dispatch, openlog, closelog, the
// filter requests). setnote, getstats, clearstats-free reads, statusquery and close may be
// called from other threads as documented on each operation.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dm/LogWriter.h"
#include "dm/Notify.h"
#include "serial/Port.h"

namespace kvx::dm {

// Input source of the receive path.
inline constexpr int kSourcePort = 0;
inline constexpr int kSourceRawFile = 1;

// Request modes of the filter requests: send to the modem, or append to a script file.
inline constexpr int kModeFile = 0;
inline constexpr int kModeSend = 1;

// Record codes the program builds.
inline constexpr uint16_t kCodePacket = 0x1FF0;
inline constexpr uint16_t kCodeNote = 0x1FFC;
inline constexpr uint16_t kCodeEvent = 0x1FFB;
inline constexpr uint16_t kCodeMessage = 0x1FEB;
inline constexpr uint16_t kCodeConverted1F = 0x1018;

// Command codes the receive path treats specially.
inline constexpr uint8_t kCmdMultiSim = 0x98;   // a packet wrapped for one subscription
inline constexpr uint8_t kCmdTerseMsg = 0x92;   // compressed debug message
// A multi-SIM wrapper: 98, version, two reserved bytes, the 32-bit subscription id, then a
// complete DM packet of its own.
inline constexpr size_t kMultiSimHeader = 8;

// Largest unescaped frame kept (terminator included): the biggest whose record still fits
// the 16-bit length field (a wrapped packet record is frame length + 9 bytes).
inline constexpr size_t kMaxFrame = 0xFFFF - 9;
// Longest pending note.
inline constexpr size_t kNoteMax = 2047;
// Capacities learned from the modem.
inline constexpr size_t kMaxMessageRanges = 255;
inline constexpr size_t kMaxRangeIds = 1024;       // identifiers per message mask request
inline constexpr uint32_t kMaxLogItemLimit = 32768;  // items per log mask request
inline constexpr size_t kDeviceSlots = 30;

// The CPUs this process may run on (its affinity mask), at least 1.
int usableCpus();

struct Stats {
    uint32_t bytes = 0;
    uint32_t crcErrors = 0;
    uint32_t packets = 0;  // records written
    uint32_t sizeErrors = 0;
    // Good frames the modem streamed by itself (logs, events, messages; not the answer to a
    // log-on-demand query), good replies to filter requests (NV reads, log, message and event
    // masks), and filter requests sent to the modem (replayed or built).
    uint32_t streamed = 0;
    uint32_t replies = 0;
    uint32_t requests = 0;
};

// How many packets of one command code produced no record.
struct NotKept {
    uint8_t code = 0;
    uint32_t count = 0;
    bool operator==(const NotKept&) const = default;
};

// "0x14 x 3, 0x63 x 2": the counts in the order given; empty for none.
std::string formatNotKept(std::span<const NotKept> counts);

// What a mask request reads of a filter entry: the identifier and, for messages, the level.
struct MaskItem {
    int32_t id = 0;
    int32_t sub = 0;
};

struct MessageRange {
    uint16_t first = 0;
    uint16_t last = 0;
};

struct DeviceSlot {
    int32_t deviceType = 0;
    std::string text;
};

class KvxLog;

// The information decoder's hook, called for every packet that produced a record.
// `buffer` is the converted packet as the receive path leaves it (see decodeInfo); for a
// multi-SIM packet, the packet it wraps and that packet's command code.
class InfoDecoder {
public:
    virtual ~InfoDecoder() = default;
    virtual void decodeInfo(KvxLog& engine, uint8_t commandCode, std::span<const uint8_t> buffer,
                            NotifyTarget* window, uint32_t messageId) = 0;
};

class KvxLog {
public:
    KvxLog();
    ~KvxLog();
    KvxLog(const KvxLog&) = delete;
    KvxLog& operator=(const KvxLog&) = delete;

    // ---- receive half ------------------------------------------------------------------

    // Writes the pending note, reads one chunk from the input source and parses it.
    // Returns the bytes read; 0 when the source delivered nothing (end of a raw file).
    int dispatch();
    // Reads one chunk into the chunk buffer (port: up to 2048 bytes; raw file: up to 1024).
    bool readinput();
    // Parses bytes as if they had just been read (frames may span calls). Does not count
    // them as read. The receive path's core; tests and fuzzers drive it directly.
    void receive(std::span<const uint8_t> chunk);

    // Any thread. Stores the note (cut to kNoteMax characters), replacing one not yet written;
    // it is written by the next dispatch or by closelog. Returns the stored length.
    int setnote(const std::string& text);
    // Any thread. Like setnote, but for the note that must end the current file (Stop, Start
    // New, capacity): dispatch never writes it, only closelog does, so no packet can follow it
    // whatever the timing of the stop request. A later setnote or setclosingnote replaces it.
    int setclosingnote(const std::string& text);
    // Any thread. Makes a port read in progress in dispatch return at once, so a stop request
    // is seen without waiting for the read's time-out.
    void wakeinput();
    // Any thread. A snapshot of the four counters (each may be one update behind).
    void getstats(uint32_t& bytes, uint32_t& crcErrors, uint32_t& packets,
                  uint32_t& sizeErrors) const;
    Stats getstats() const;
    void clearstats();
    // Any thread. The counters as they stood when the last log file was closed.
    Stats lastfilestats() const;
    // Any thread. Packets that produced no record (command codes outside the conversion
    // table, a multi-SIM wrapper too short to hold a packet or wrapping another wrapper),
    // per command code in ascending order; codes never seen are left out. Each count may be
    // one update behind. Unlike the four counters they survive a new log file: connect and
    // startlogging of a raw file clear them, so they cover a whole capture or conversion.
    std::vector<NotKept> notkept() const;
    void clearnotkept();
    // "not kept: 0x14 x 3, 0x63 x 2", or empty when every packet was kept.
    std::string notkeptsummary() const;
    // Any thread. With keep-all, packets that would produce no record are written whole as
    // packet records instead (and not counted as not kept). Off by default.
    void setkeepall(bool on) { keepAll_.store(on, std::memory_order_relaxed); }
    bool keepall() const { return keepAll_.load(std::memory_order_relaxed); }
    // With enable and a target: report decoded packets to it (true). Enable without a target:
    // nothing changes (false). Disable: clears the target (true). Any thread.
    bool setinfotarget(NotifyTarget* window, uint32_t messageId, bool enable);
    void setdecoder(InfoDecoder* decoder) { decoder_ = decoder; }

    // Any thread. Threads of a raw DM file conversion: 1 receives, enciphers and writes on the
    // dispatching thread; n > 1 leaves enciphering and writing to n - 1 helper threads while
    // the dispatching thread goes on receiving (the log gets the same bytes). Taken at the
    // next dispatch. Live logging from the port always writes on the dispatching thread, so
    // every chunk reaches the disk before a read that has to wait for the line, and within
    // 100 ms while the port holds more read ahead. Default: usableCpus().
    void setthreads(int n) { threads_.store(n < 1 ? 1 : n); }
    int threads() const { return threads_.load(); }

    // ---- log file --------------------------------------------------------------------------

    // Opens the log file (see LogWriter::openlog); `exclusive` never replaces a file. The first
    // multi-SIM packet written to the new file is preceded by its "Subscription %u" note.
    bool openlog(const std::string& path, bool exclusive = false);
    // Writes the pending note and the last block and closes the file. A frame partly received
    // so far is kept for the next file. Does nothing to a file when none is open.
    void closelog();
    bool logopen() const { return writer_.isOpen(); }
    // False once a write to the open log failed (disk full, ...).
    bool logwriteok() const { return writer_.ok(); }
    // errno of the failed open or write of the log, 0 when none.
    int logerror() const { return writer_.error(); }

    // ---- send half -----------------------------------------------------------------------

    // The request/reply primitive: writes the frame; with wantReply performs one port read
    // into the reply buffer, unescapes it and returns it when at least one byte came. The
    // reply stays valid until the next transact.
    std::optional<std::span<const uint8_t>> transact(const uint8_t* frame, size_t length,
                                                     bool wantReply);
    // Opens the port (device type 0: `portName`; others: found by the device table) and
    // performs the three connection queries. The port stays open even on failure.
    bool connect(int deviceType, const char* portName);
    // Any thread. Makes the connect in progress, and every later one, give up at its next
    // query send (a modem that does not answer holds a connect for its 11 sends of each query,
    // some 20 s): for a program that is ending. The read that waits is woken.
    void abortconnects();
    bool connectsaborted() const { return connectsAborted_.load(); }
    // Closes the port when the input source is the port. Any thread; a read in progress is
    // woken first.
    void close();
    void startlogging(bool start, int source, FILE* rawFile);
    void statusquery(int kind);
    void seteventreporting(bool on);
    void sendnvread(int item, int mode, FILE* out);
    void sendlogmasks(std::span<const MaskItem> entries, int mode, FILE* out);
    void sendeventmask(std::span<const MaskItem> entries, int mode, FILE* out);
    void sendmessagemasks(std::span<const MaskItem> entries, int mode, FILE* out);
    void writescriptheader(FILE* out);
    int replayscript(const std::string& path);

    // What connect learned.
    std::span<const MessageRange> messageranges() const;
    const std::array<uint32_t, 16>& loglimits() const { return logLimits_; }
    uint32_t eventmasksize() const { return eventMaskSize_; }

    // The time query (status kind 6) outstanding flag; the information decoder clears it.
    bool timequeryoutstanding() const { return timeQueryOutstanding_.load(); }
    void cleartimequery() { timeQueryOutstanding_.store(false); }

    // ---- discovery -------------------------------------------------------------------------

    bool findport(const std::string& text, std::string& name) const;
    bool deviceispresent(int deviceType) const;
    bool detectport(int deviceType, std::string& out);
    std::span<const DeviceSlot> devicetable() const { return {devices_.data(), deviceCount_}; }

    // Folder standing for /sys in discovery (default: $KVXLOG_SYSFS_ROOT, else "/sys").
    void setsysfsroot(std::string root) { sysfsRoot_ = std::move(root); }
    // How ports are opened; tests install scripted transports. Default: serial::openport.
    using PortOpener =
        std::function<std::unique_ptr<serial::Port>(const std::string&, serial::OpenStatus*)>;
    void setportopener(PortOpener opener) { portOpener_ = std::move(opener); }
    // Why the last open in connect/detectport failed.
    const serial::OpenStatus& lastopenstatus() const { return lastOpen_; }
    // True while a port is open.
    bool portopen() const;
    // Any thread. True when the input is the port and that port has hung up (the device was
    // unplugged or reset): it delivers nothing more until it is opened again.
    bool portlost() const;

private:
    enum class FrameKind { Nothing, Record, CrcFailure, TooLong };
    void resetParser();
    void endFrame();
    FrameKind checkframe(size_t length, size_t& recordStart, size_t& recordLength);
    // Classifies the packet at `off` into the frame (0, or the wrapper's length for a
    // multi-SIM packet) and builds its record(s) in place.
    FrameKind classify(size_t off, size_t packetLength, std::optional<uint32_t> subscription,
                       size_t& recordStart, size_t& recordLength);
    // Writes the "Subscription %u" note when `subscription` differs from the last one
    // written to this file.
    void noteSubscription(std::optional<uint32_t> subscription);
    void convertEvents(size_t off, size_t packetLength);
    // Hands a converted packet to the information decoder with the current info target.
    void decodeInfo(uint8_t command, std::span<const uint8_t> buffer);
    void writerecord(FrameKind kind, const uint8_t* record, size_t length, bool eventBatch);
    void writeNote(const char* text, size_t length);
    // Every record reaches the writer here: counted as written, and not counted once a write
    // of its file has failed before it reached the disk.
    void appendRecord(const uint8_t* record, size_t length);
    void settleRecords();
    void writeSizeError(uint32_t expected, uint32_t received);
    void flushNote(bool closing);
    std::shared_ptr<serial::Port> portSnapshot() const;
    bool runQuery(const uint8_t* payload, size_t payloadLength, int which);
    void sendOrWrite(const uint8_t* payload, size_t payloadLength, int mode, FILE* out);

    // Receive state (worker thread).
    std::atomic<int> source_{kSourcePort};
    FILE* rawFile_ = nullptr;
    std::array<uint8_t, serial::kEngineReadSize> chunk_{};
    size_t chunkLen_ = 0;
    size_t portAhead_ = 0;  // bytes the port held beyond the last chunk (Port::buffered)
    std::chrono::steady_clock::time_point lastLiveWrite_{};
    std::vector<uint8_t> acc_;  // frame accumulator; records are built in place behind it
    size_t accLen_ = 0;
    size_t discarded_ = 0;      // bytes of an over-long frame dropped so far
    bool escape_ = false;
    std::array<uint8_t, 8> eventTime_{};
    std::vector<uint8_t> eventCopy_;   // event records of the packet being converted
    std::vector<uint8_t> noteRecord_;  // a note record being written
    LogWriter writer_;
    // Stream end offsets of the records not yet known to be on the disk.
    std::deque<uint64_t> recordEnds_;
    std::atomic<int> threads_{1};
    InfoDecoder* decoder_ = nullptr;

    std::atomic<uint32_t> bytes_{0}, crcErrors_{0}, packets_{0}, sizeErrors_{0};
    std::atomic<uint32_t> streamed_{0}, replies_{0}, requests_{0};
    static constexpr uint16_t kOnDemandCode = 0x5072;  // the log status query 5 asks for
    std::atomic<int> onDemand_{0};                     // its answers still to come
    mutable std::mutex lastFileMutex_;
    Stats lastFile_;
    std::array<std::atomic<uint32_t>, 256> notKept_{};
    std::atomic<bool> keepAll_{false};
    std::atomic<bool> connectsAborted_{false};
    // The subscription of the last "Subscription" note of the open file (worker thread).
    std::optional<uint32_t> lastSubscription_;

    mutable std::mutex noteMutex_;
    std::string note_;
    bool notePending_ = false;
    bool noteClosing_ = false;  // the pending note waits for closelog

    mutable std::mutex targetMutex_;
    NotifyTarget* target_ = nullptr;
    uint32_t targetMessage_ = 0;

    // Send state.
    bool storeReply(int which, std::span<const uint8_t> reply);
    void sendRequest(const uint8_t* payload, size_t payloadLength);  // no dispatch behind it
    void clearNote();
    mutable std::mutex portMutex_;  // guards the pointer only, never held during I/O
    std::shared_ptr<serial::Port> port_;
    int deviceType_ = 0;
    std::array<DeviceSlot, kDeviceSlots> devices_{};
    size_t deviceCount_ = 0;
    std::array<MessageRange, kMaxMessageRanges> ranges_{};
    size_t rangeCount_ = 0;
    std::array<uint32_t, 16> logLimits_{};
    uint32_t eventMaskSize_ = 0;
    std::atomic<bool> timeQueryOutstanding_{false};
    std::array<uint8_t, 2049> reply_{};
    // Where each frame after the first begins in the unescaped reply (after each flag).
    std::vector<size_t> replyFrames_;
    std::optional<std::span<const uint8_t>> readReply(serial::Port& port);
    bool findBuriedReply(int which, std::span<const uint8_t> reply);
    std::string sysfsRoot_;
    PortOpener portOpener_;
    serial::OpenStatus lastOpen_;
};

}  // namespace kvx::dm
