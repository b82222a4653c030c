// The engine's constructor, the receive path, notes, counters and the log file operations.
#include "dm/KvxLog.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "dm/ByteReader.h"
#include "dm/Crc16.h"
#include "dm/Frame.h"
#include "dm/ShortCopy.h"
#include "os/Thread.h"

namespace kvx::dm {
namespace {

// Room kept in front of a frame in the accumulator, so that a packet can be wrapped in a
// record by writing the 12-byte record header in front of it, without moving it.
constexpr size_t kHead = 12;
constexpr size_t kRecordHeader = 12;
constexpr size_t kMaxRecord = 0xFFFF;
constexpr size_t kRawChunk = 1024;  // raw DM file read size
// Longest a live chunk waits for its write while the port still holds bytes read ahead.
constexpr std::chrono::milliseconds kLiveWriteInterval{100};

void putHeader(uint8_t* at, size_t length, uint16_t code) {
    at[0] = static_cast<uint8_t>(length);
    at[1] = static_cast<uint8_t>(length >> 8);
    at[2] = static_cast<uint8_t>(code);
    at[3] = static_cast<uint8_t>(code >> 8);
}

// The first 0x7D or 0x7E in [p, end), or end: sixteen bytes at a step where SSE2 is there,
// else eight (bit trick: a zero byte in v ^ pattern).
inline const uint8_t* findFlagOrEscape(const uint8_t* p, const uint8_t* const end) {
#if defined(__SSE2__)
    const __m128i flag = _mm_set1_epi8(static_cast<char>(kFlag));
    const __m128i escape = _mm_set1_epi8(static_cast<char>(kEscape));
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, flag), _mm_cmpeq_epi8(v, escape)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#else
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        const uint64_t a = v ^ (kOnes * kFlag);
        const uint64_t b = v ^ (kOnes * kEscape);
        if ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHigh) break;
        p += 8;
    }
#endif
    while (p < end && *p != kFlag && *p != kEscape) ++p;
    return p;
}

}  // namespace

int usableCpus() { return os::usableCpus(); }

KvxLog::KvxLog() : acc_(kHead + kMaxFrame + 16), threads_(usableCpus()) {
    // Device table: slot order is the search priority.
    const DeviceSlot table[] = {{0, ""},
                                {1, "Orvanta Wireless COM Port Device"},
                                {1, "Orvanta Wireless DM Port"},
                                {1, "DM Port"},
                                {1, "Orvanta Wireless Diagnostics Interface"},
                                {1, "KVX Diagnostics Interface"}};
    for (const auto& slot : table) devices_[deviceCount_++] = slot;
    const char* root = std::getenv("KVXLOG_SYSFS_ROOT");
    sysfsRoot_ = (root && *root) ? root : "/sys";
    portOpener_ = [](const std::string& name, serial::OpenStatus* status) {
        return serial::openport(name, status);
    };
}

KvxLog::~KvxLog() {
    writer_.closelog();
}

// ---- notes and counters -------------------------------------------------------------------

int KvxLog::setnote(const std::string& text) {
    std::lock_guard lock(noteMutex_);
    note_.assign(text, 0, std::min(text.size(), kNoteMax));
    notePending_ = !note_.empty();
    noteClosing_ = false;
    return static_cast<int>(note_.size());
}

int KvxLog::setclosingnote(const std::string& text) {
    std::lock_guard lock(noteMutex_);
    note_.assign(text, 0, std::min(text.size(), kNoteMax));
    notePending_ = !note_.empty();
    noteClosing_ = notePending_;
    return static_cast<int>(note_.size());
}

void KvxLog::flushNote(bool closing) {
    std::string text;
    {
        std::lock_guard lock(noteMutex_);
        if (!notePending_ || (noteClosing_ && !closing)) return;
        text.swap(note_);
        note_.clear();
        notePending_ = false;
        noteClosing_ = false;
    }
    writeNote(text.data(), text.size());
}

void KvxLog::wakeinput() {
    if (auto port = portSnapshot()) port->wake();
}

void KvxLog::getstats(uint32_t& bytes, uint32_t& crcErrors, uint32_t& packets,
                      uint32_t& sizeErrors) const {
    bytes = bytes_.load(std::memory_order_relaxed);
    crcErrors = crcErrors_.load(std::memory_order_relaxed);
    packets = packets_.load(std::memory_order_relaxed);
    sizeErrors = sizeErrors_.load(std::memory_order_relaxed);
}

Stats KvxLog::getstats() const {
    Stats s;
    getstats(s.bytes, s.crcErrors, s.packets, s.sizeErrors);
    s.streamed = streamed_.load(std::memory_order_relaxed);
    s.replies = replies_.load(std::memory_order_relaxed);
    s.requests = requests_.load(std::memory_order_relaxed);
    return s;
}

Stats KvxLog::lastfilestats() const {
    std::lock_guard lock(lastFileMutex_);
    return lastFile_;
}

void KvxLog::clearstats() {
    bytes_.store(0);
    crcErrors_.store(0);
    packets_.store(0);
    sizeErrors_.store(0);
    streamed_.store(0);
    replies_.store(0);
    requests_.store(0);
}

void KvxLog::clearnotkept() {
    for (auto& n : notKept_) n.store(0, std::memory_order_relaxed);
}

std::vector<NotKept> KvxLog::notkept() const {
    std::vector<NotKept> out;
    for (size_t code = 0; code < notKept_.size(); ++code) {
        const uint32_t n = notKept_[code].load(std::memory_order_relaxed);
        if (n > 0) out.push_back({static_cast<uint8_t>(code), n});
    }
    return out;
}

std::string KvxLog::notkeptsummary() const {
    const std::string list = formatNotKept(notkept());
    return list.empty() ? list : "not kept: " + list;
}

std::string formatNotKept(std::span<const NotKept> counts) {
    std::string out;
    for (const auto& c : counts) {
        char item[32];
        std::snprintf(item, sizeof item, "%s0x%02X x %u", out.empty() ? "" : ", ", c.code, c.count);
        out += item;
    }
    return out;
}

bool KvxLog::setinfotarget(NotifyTarget* window, uint32_t messageId, bool enable) {
    std::lock_guard lock(targetMutex_);
    if (enable) {
        if (!window) return false;
        target_ = window;
        targetMessage_ = messageId;
    } else {
        target_ = nullptr;
        targetMessage_ = 0;
    }
    return true;
}

// ---- log file -------------------------------------------------------------------------------

bool KvxLog::openlog(const std::string& path, bool exclusive) {
    recordEnds_.clear();
    lastSubscription_.reset();
    return writer_.openlog(path, exclusive);
}

void KvxLog::closelog() {
    const bool open = writer_.isOpen();
    flushNote(true);
    writer_.closelog();
    settleRecords();
    if (open) {
        std::lock_guard lock(lastFileMutex_);
        lastFile_ = getstats();
    }
    recordEnds_.clear();
    // A frame only partly received when the file closes stays in the accumulator and is
    // completed into the next file: a rotation loses no packet. connect and startlogging
    // begin with a fresh parser.
    chunkLen_ = 0;
}

void KvxLog::resetParser() {
    accLen_ = 0;
    discarded_ = 0;
    escape_ = false;
    chunkLen_ = 0;
    writer_.resetPending();
}

// ---- receive path ---------------------------------------------------------------------------

int KvxLog::dispatch() {
    // Helper threads only for a file: live data is written by the time the next read begins.
    writer_.setThreads(source_.load() == kSourceRawFile ? threads_.load() : 1);
    flushNote(false);
    if (!readinput()) {
        if (source_.load() == kSourcePort) {
            writer_.flush();
            settleRecords();
        }
        return 0;
    }
    receive({chunk_.data(), chunkLen_});
    // Live data is on the disk before the worker may wait long for more: a read waits for the
    // line only once the port holds nothing read ahead; while it does, the next read returns
    // within the read interval, and the chunks share a write, made at least every
    // kLiveWriteInterval (the writer also writes each full batch). A conversion writes in
    // batches only.
    if (source_.load() == kSourcePort) {
        const auto now = std::chrono::steady_clock::now();
        if (portAhead_ == 0 || now - lastLiveWrite_ >= kLiveWriteInterval) {
            lastLiveWrite_ = now;
            writer_.flush();
            settleRecords();
        }
    }
    return static_cast<int>(chunkLen_);
}

bool KvxLog::readinput() {
    size_t n = 0;
    const int source = source_.load();
    portAhead_ = 0;
    if (source == kSourcePort) {
        if (auto port = portSnapshot()) {
            n = serial::readport(*port, chunk_.data());
            portAhead_ = port->buffered();
        }
    } else if (source == kSourceRawFile) {
        if (rawFile_) n = std::fread(chunk_.data(), 1, kRawChunk, rawFile_);
    } else {
        std::printf("Invalid input DM source: %d\n", source);
    }
    chunkLen_ = n;
    if (n < 1) return false;
    bytes_.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
    return true;
}

void KvxLog::receive(std::span<const uint8_t> chunk) {
    const uint8_t* p = chunk.data();
    const uint8_t* const end = p + chunk.size();
    uint8_t* const frame = acc_.data() + kHead;
    // Content of a frame may grow to kMaxFrame - 1 bytes; the flag completes it.
    auto append = [&](uint8_t v) {
        if (accLen_ < kMaxFrame - 1) {
            frame[accLen_++] = v;
        } else {
            discarded_ = accLen_ + 1;  // too long for any record: drop it up to the next flag
            accLen_ = 0;
        }
    };
    while (p < end) {
        if (discarded_ > 0) {
            const auto* flag = static_cast<const uint8_t*>(std::memchr(p, kFlag, end - p));
            const uint8_t* stop = flag ? flag + 1 : end;
            discarded_ += static_cast<size_t>(stop - p);
            p = stop;
            if (flag) endFrame();
            continue;
        }
        const uint8_t b = *p;
        if (b == kFlag) {
            // A flag always ends a frame, even right after an escape (then stored as 0x5E).
            frame[accLen_++] = escape_ ? static_cast<uint8_t>(b ^ 0x20) : b;
            escape_ = false;
            ++p;
            endFrame();
        } else if (escape_) {
            escape_ = b == kEscape;  // an escaped escape byte opens a new escape
            if (!escape_) append(static_cast<uint8_t>(b ^ 0x20));
            ++p;
        } else if (b == kEscape) {
            escape_ = true;
            ++p;
        } else {
            // A run of plain bytes, copied at once.
            const uint8_t* q = findFlagOrEscape(p, end);
            const size_t run = static_cast<size_t>(q - p);
            if (run <= kMaxFrame - 1 - accLen_) {
                copyShort(frame + accLen_, p, run);
                accLen_ += run;
            } else {
                discarded_ = accLen_ + run;
                accLen_ = 0;
            }
            p = q;
        }
    }
}

void KvxLog::endFrame() {
    if (discarded_ > 0) {
        const size_t dropped = discarded_;
        discarded_ = 0;
        accLen_ = 0;
        escape_ = false;
        sizeErrors_.fetch_add(1, std::memory_order_relaxed);
        char text[96];
        const int n = std::snprintf(text, sizeof text,
                                    "KvxLog DM Error - frame too long (%zu bytes discarded)",
                                    dropped);
        writeNote(text, static_cast<size_t>(n));
        return;
    }
    const size_t length = accLen_;
    const uint8_t command = length > 0 ? acc_[kHead] : 0;  // checkframe may write over it
    size_t start = 0, recordLength = 0;
    const FrameKind kind = checkframe(length, start, recordLength);
    // What the modem streams by itself against what answers a request: the command line
    // tells a modem that answered the filter but never streamed.
    if (kind != FrameKind::CrcFailure && length > 3) {
        switch (command) {
            case 0x10:
                // The answer to a log-on-demand status query is a log packet too; it says
                // nothing of whether the modem streams.
                if (length > 8 && acc_[kHead + 6] == (kOnDemandCode & 0xFF) &&
                    acc_[kHead + 7] == (kOnDemandCode >> 8) && onDemand_.load() > 0) {
                    onDemand_.fetch_sub(1);
                    break;
                }
                streamed_.fetch_add(1, std::memory_order_relaxed);
                break;
            case 0x60:
                // A short 0x60 is the answer to the event-reporting switch, kept whole.
                if (kind != FrameKind::Record) streamed_.fetch_add(1, std::memory_order_relaxed);
                break;
            case 0x1F: case 0x79: case 0x92: case 0x98:
                streamed_.fetch_add(1, std::memory_order_relaxed);
                break;
            case 0x26: case 0x73: case 0x7D: case 0x82:
                // Answers to the filter's requests (NV reads, log, message, event masks).
                if (kind == FrameKind::Record) replies_.fetch_add(1, std::memory_order_relaxed);
                break;
            default:
                break;
        }
    }
    if (kind == FrameKind::CrcFailure) {
        crcErrors_.fetch_add(1, std::memory_order_relaxed);
        static constexpr char kCrcNote[] = "KvxLog DM Error - CRC";
        writeNote(kCrcNote, sizeof kCrcNote - 1);
        // The frame as received (unescaped), cut where a note record must end.
        writeNote(reinterpret_cast<const char*>(acc_.data() + kHead),
                  std::min(length, kMaxRecord - kRecordHeader));
    } else if (kind == FrameKind::Record) {
        writerecord(kind, acc_.data() + start, recordLength, /*eventBatch=*/false);
    }
    accLen_ = 0;
}

KvxLog::FrameKind KvxLog::checkframe(size_t length, size_t& recordStart, size_t& recordLength) {
    const uint8_t* const frame = acc_.data() + kHead;
    if (length < 1) return FrameKind::Nothing;
    const uint16_t reg = crc16Update(0xFFFF, frame, length - 1);
    if (static_cast<uint16_t>(~reg) != kCrcGoodResult) return FrameKind::CrcFailure;
    const size_t packetLength = length >= 3 ? length - 3 : 0;
    if (packetLength == 0) return FrameKind::Nothing;
    // A multi-SIM packet holding at least one byte of a packet of its own is logged as that
    // packet would be on its own; the CRC above covered the whole frame.
    if (frame[0] == kCmdMultiSim && packetLength > kMultiSimHeader) {
        const uint32_t subscription = static_cast<uint32_t>(frame[4]) |
                                      static_cast<uint32_t>(frame[5]) << 8 |
                                      static_cast<uint32_t>(frame[6]) << 16 |
                                      static_cast<uint32_t>(frame[7]) << 24;
        return classify(kMultiSimHeader, packetLength - kMultiSimHeader, subscription, recordStart,
                        recordLength);
    }
    return classify(0, packetLength, std::nullopt, recordStart, recordLength);
}

KvxLog::FrameKind KvxLog::classify(size_t off, size_t packetLength,
                                   std::optional<uint32_t> subscription, size_t& recordStart,
                                   size_t& recordLength) {
    uint8_t* const frame = acc_.data() + kHead + off;
    // The frame length the table speaks of: the packet with its CRC and flag.
    const size_t length = packetLength + 3;
    const uint8_t command = frame[0];
    std::span<const uint8_t> packet(frame, packetLength);

    // The record header goes in front of the packet: into the room ahead of the frame, or
    // over the multi-SIM wrapper, which is no longer needed.
    auto wrap = [&](uint16_t code) {
        recordStart = kHead + off - kRecordHeader;
        recordLength = kRecordHeader + packetLength;
        uint8_t* h = acc_.data() + recordStart;
        putHeader(h, recordLength, code);
        std::memset(h + 4, 0, 8);
    };

    switch (command) {
        case 0x10:
            // The modem's own log record starts 4 bytes into the packet.
            if (packetLength < 4) {
                recordStart = kHead + off;
                recordLength = 0;
            } else {
                recordStart = kHead + off + 4;
                recordLength = packetLength - 4;
            }
            break;
        case 0x00: case 0x15: case 0x1C: case 0x1D: case 0x26: case 0x4B:
        case 0x73: case 0x78: case 0x7C: case 0x7D: case 0x81: case 0x82:
        case kCmdTerseMsg:
            wrap(kCodePacket);
            break;
        case 0x1F: {
            const auto field = le16At(packet, 1);
            if (!field || *field == 0) {
                wrap(kCodePacket);
                break;
            }
            // Converted record: the packet from offset 3, stamped with the 8 bytes before the
            // CRC; its length field always says 96.
            uint8_t stamp[8] = {};
            if (packetLength >= 8 + 3) std::memcpy(stamp, frame + packetLength - 8, 8);
            recordStart = kHead + off + 3 - kRecordHeader;
            recordLength = kRecordHeader + packetLength - 3;
            uint8_t* h = acc_.data() + recordStart;
            putHeader(h, 96, kCodeConverted1F);
            std::memcpy(h + 4, stamp, 8);
            break;
        }
        case 0x60:
            if (length < 7) {
                wrap(kCodePacket);
                break;
            }
            noteSubscription(subscription);
            convertEvents(off, packetLength);
            return FrameKind::Nothing;
        case 0x79: {
            uint8_t stamp[8] = {};
            for (size_t i = 0; i < 8 && 4 + i < packetLength; ++i) stamp[i] = frame[4 + i];
            wrap(kCodeMessage);
            std::memcpy(acc_.data() + recordStart + 4, stamp, 8);
            break;
        }
        default:
            // Every other code, a multi-SIM packet too short to hold one, or one wrapped in
            // another: counted, and written whole only when everything is to be kept.
            if (!keepAll_.load(std::memory_order_relaxed)) {
                notKept_[command].fetch_add(1, std::memory_order_relaxed);
                return FrameKind::Nothing;
            }
            wrap(kCodePacket);
            break;
    }
    noteSubscription(subscription);
    // A log packet is handed over with its 4-byte packet header in front of the record.
    const size_t from = command == 0x10 ? kHead + off : recordStart;
    decodeInfo(command, {acc_.data() + from, recordStart + recordLength - from});
    return FrameKind::Record;
}

void KvxLog::noteSubscription(std::optional<uint32_t> subscription) {
    if (!subscription || subscription == lastSubscription_) return;
    lastSubscription_ = subscription;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "Subscription %u", *subscription);
    writeNote(text, static_cast<size_t>(n));
}

void KvxLog::decodeInfo(uint8_t command, std::span<const uint8_t> buffer) {
    if (!decoder_) return;
    NotifyTarget* target;
    uint32_t message;
    {
        std::lock_guard lock(targetMutex_);
        target = target_;
        message = targetMessage_;
    }
    decoder_->decodeInfo(*this, command, buffer, target, message);
}

void KvxLog::convertEvents(size_t off, size_t packetLength) {
    const uint8_t* const packet = acc_.data() + kHead + off;
    eventCopy_.clear();
    size_t pos = 3;
    bool truncated = false;
    size_t needed = 0;
    while (pos < packetLength) {
        if (packetLength - pos < 2) {
            truncated = true;
            needed = pos + 2;
            break;
        }
        const uint16_t word = static_cast<uint16_t>(packet[pos] | (packet[pos + 1] << 8));
        const bool shortTime = word & 0x8000;
        const size_t timeSize = shortTime ? 2 : 8;
        const unsigned payloadKind = (word >> 13) & 3;
        size_t at = pos + 2;
        if (packetLength - at < timeSize + (payloadKind == 3 ? 1 : 0)) {
            truncated = true;
            needed = at + timeSize + (payloadKind == 3 ? 1 : 0);
            break;
        }
        const size_t payloadSize =
            payloadKind == 3 ? 1 + packet[at + timeSize] : payloadKind;
        if (packetLength - at - timeSize < payloadSize) {
            truncated = true;
            needed = at + timeSize + payloadSize;
            break;
        }
        if (shortTime) {
            eventTime_[1] = packet[at];
            eventTime_[2] = packet[at + 1];
        } else {
            std::memcpy(eventTime_.data(), packet + at, 8);
        }
        at += timeSize;
        const size_t recordLength = 24 + payloadSize;
        const size_t o = eventCopy_.size();
        eventCopy_.resize(o + recordLength);
        uint8_t* r = eventCopy_.data() + o;
        putHeader(r, recordLength, kCodeEvent);
        std::memcpy(r + 4, eventTime_.data(), 8);
        r[12] = static_cast<uint8_t>(recordLength - 14);
        r[13] = static_cast<uint8_t>((recordLength - 14) >> 8);
        r[14] = static_cast<uint8_t>(word);
        r[15] = static_cast<uint8_t>((word >> 8) & 0x7F);
        std::memcpy(r + 16, eventTime_.data(), 8);
        std::memcpy(r + 24, packet + at, payloadSize);
        pos = at + payloadSize;
    }
    if (!eventCopy_.empty()) {
        decodeInfo(0x60, eventCopy_);
        writerecord(FrameKind::Record, eventCopy_.data(), eventCopy_.size(), /*eventBatch=*/true);
    }
    if (truncated) writeSizeError(static_cast<uint32_t>(needed), static_cast<uint32_t>(packetLength));
}

void KvxLog::writerecord(FrameKind kind, const uint8_t* record, size_t length, bool eventBatch) {
    if (kind != FrameKind::Record) return;
    if (!eventBatch) {
        // The record's own 16-bit length field must match the bytes written, or every reader
        // would lose its place in the stream.
        const uint32_t field = length >= 2 ? static_cast<uint32_t>(record[0] | (record[1] << 8)) : 0;
        if (length < kRecordHeader || field != length) {
            writeSizeError(field, static_cast<uint32_t>(length));
            return;
        }
    }
    appendRecord(record, length);
}

void KvxLog::appendRecord(const uint8_t* record, size_t length) {
    if (!writer_.isOpen()) {
        packets_.fetch_add(1, std::memory_order_relaxed);
        writer_.append(record, length);
        return;
    }
    // A file whose write failed takes no more records, and none is counted for it.
    if (!writer_.ok()) return;
    packets_.fetch_add(1, std::memory_order_relaxed);
    writer_.append(record, length);
    recordEnds_.push_back(writer_.appended());
    settleRecords();
}

void KvxLog::settleRecords() {
    // ok first: once a write failed, durable no longer moves (helper threads may be writing).
    const bool ok = writer_.ok();
    const uint64_t durable = writer_.durable();
    while (!recordEnds_.empty() && recordEnds_.front() <= durable) recordEnds_.pop_front();
    if (!ok) {
        // The records that did not reach the disk are not counted as written.
        packets_.fetch_sub(static_cast<uint32_t>(recordEnds_.size()), std::memory_order_relaxed);
        recordEnds_.clear();
    }
}

void KvxLog::writeSizeError(uint32_t expected, uint32_t received) {
    sizeErrors_.fetch_add(1, std::memory_order_relaxed);
    char text[96];
    const int n = std::snprintf(text, sizeof text, "KvxLog DM Error - size (expected %u, received %u)",
                                expected, received);
    writeNote(text, static_cast<size_t>(n));
}

void KvxLog::writeNote(const char* text, size_t length) {
    length = std::min(length, kMaxRecord - kRecordHeader);
    std::vector<uint8_t>& buf = noteRecord_;
    buf.resize(kRecordHeader + length);
    putHeader(buf.data(), buf.size(), kCodeNote);
    std::memset(buf.data() + 4, 0, 8);
    std::memcpy(buf.data() + kRecordHeader, text, length);
    appendRecord(buf.data(), buf.size());
}

}  // namespace kvx::dm
