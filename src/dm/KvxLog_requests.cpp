// The engine's sending half: the request/reply primitive, connecting and learning the mask
// sizes, logging on/off, status queries, the filter requests and request scripts.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "dm/ByteReader.h"
#include "dm/Frame.h"
#include "dm/KvxLog.h"

namespace kvx::dm {

namespace {

// The three connection queries, as runQuery's `which`.
constexpr int kQueryMessageRanges = 0;
constexpr int kQueryLogLimits = 1;
constexpr int kQueryEventMaskSize = 2;

// One first send and ten re-sends; the reply to the last one is read but not examined.
constexpr int kQuerySends = 11;

constexpr uint8_t kCmdLogConfig = 0x73;
constexpr uint8_t kCmdMessageConfig = 0x7D;
constexpr uint8_t kCmdEventMaskGet = 0x81;
constexpr uint8_t kCmdEventMaskSet = 0x82;
constexpr uint8_t kCmdNvRead = 0x26;
constexpr uint8_t kCmdEventReport = 0x60;

constexpr uint32_t kLogOpGetRanges = 1;
constexpr uint32_t kLogOpSetMask = 3;
constexpr uint8_t kMsgSubGetRanges = 0x01;
constexpr uint8_t kMsgSubSetMask = 0x04;

// The NV item whose read is sent with every index 0-19 (an array item).
constexpr int kNvArrayItem = 87;
constexpr int kNvArrayCount = 20;
constexpr size_t kNvDataBytes = 127;

constexpr size_t kMaskBufferSize = 4096;
// What one frame's payload holds: message level masks of 4 bytes after an 8-byte header, and
// log mask bits after a 16-byte header.
constexpr size_t kMaxIdsPerFrame = (kMaxPayload - 8) / 4;                           // 509
constexpr uint32_t kMaxLogItemsPerFrame = static_cast<uint32_t>(kMaxPayload - 16) * 8;  // 16232
constexpr size_t kLogItemsPerEquipment = 4096;  // low 12 bits of a log code
constexpr int kEquipmentIds = 16;

constexpr std::array<uint8_t, 3> kScriptHeader = {0x76, 0x00, 0x01};

void put8(uint8_t value, uint8_t*& cursor) {
    *cursor++ = value;
}
void putBytes(std::initializer_list<uint8_t> bytes, uint8_t*& cursor) {
    for (uint8_t b : bytes) *cursor++ = b;
}

// Whether the reply, read from offset `at`, passes the query's acceptance test. Bytes past
// the end of the reply never match.
bool acceptedAt(int which, std::span<const uint8_t> reply, size_t at) {
    auto b = [&](size_t i) -> int { return at + i < reply.size() ? reply[at + i] : -1; };
    switch (which) {
        case kQueryMessageRanges:
            return b(0) == kCmdMessageConfig && b(1) == kMsgSubGetRanges && b(2) == 0x01;
        case kQueryLogLimits:
            return b(0) == kCmdLogConfig;
        case kQueryEventMaskSize:
            return b(0) == kCmdEventMaskGet && b(1) == 0x00;
        default:
            return false;
    }
}

}  // namespace

// ---- port -----------------------------------------------------------------------------------

std::shared_ptr<serial::Port> KvxLog::portSnapshot() const {
    std::lock_guard lock(portMutex_);
    return port_;
}

bool KvxLog::portopen() const {
    return portSnapshot() != nullptr;
}

bool KvxLog::portlost() const {
    if (source_.load() != kSourcePort) return false;
    auto port = portSnapshot();
    return port && port->dead();
}

void KvxLog::close() {
    if (source_.load() != kSourcePort) return;
    std::shared_ptr<serial::Port> port;
    {
        std::lock_guard lock(portMutex_);
        port.swap(port_);
    }
    // A reader on another thread holds its own reference: the device is released when that
    // read, woken here, has returned.
    if (port) port->wake();
}

void KvxLog::clearNote() {
    std::lock_guard lock(noteMutex_);
    note_.clear();
    notePending_ = false;
    noteClosing_ = false;
}

std::optional<std::span<const uint8_t>> KvxLog::transact(const uint8_t* frame, size_t length,
                                                         bool wantReply) {
    auto port = portSnapshot();
    if (!port) return std::nullopt;
    // Only the connection queries read the reply buffer; a status query from the status
    // thread must not clear it under them.
    if (wantReply) reply_.fill(0);
    serial::writeport(*port, frame, length);
    if (!wantReply) return std::nullopt;
    return readReply(*port);
}

std::optional<std::span<const uint8_t>> KvxLog::readReply(serial::Port& port) {
    size_t got = serial::readport(port, reply_.data());
    if (got < 1) return std::nullopt;
    // Note where further frames of the chunk begin, as they will stand once unescaped.
    replyFrames_.clear();
    bool escaped = false;
    for (size_t i = 0, out = 0; i < got; ++i) {
        const uint8_t b = reply_[i];
        if (escaped) {
            escaped = false;
            ++out;
        } else if (b == kEscape) {
            escaped = true;
        } else {
            ++out;
            if (b == kFlag && i + 1 < got) replyFrames_.push_back(out);
        }
    }
    got = unescapereply(reply_.data(), got);
    return std::span<const uint8_t>(reply_.data(), got);
}

// ---- connection -----------------------------------------------------------------------------

bool KvxLog::runQuery(const uint8_t* payload, size_t payloadLength, int which) {
    std::array<uint8_t, kFrameBufferSize> frame{};
    std::memcpy(frame.data(), payload, payloadLength);
    const size_t length = finishframe(frame.data(), payloadLength);
    if (length == 0) return false;

    for (int send = 1; send <= kQuerySends; ++send) {
        if (connectsAborted_.load()) return false;
        auto reply = transact(frame.data(), length, true);
        if (send == kQuerySends) break;
        if (!reply || reply->empty()) continue;
        const std::span<const uint8_t> r = *reply;
        size_t at = 0;
        bool ok = acceptedAt(which, r, 0);
        if (!ok && which != kQueryLogLimits && r[0] == payload[0]) {
            at = 4;
            ok = acceptedAt(which, r, at);
        }
        if (ok && storeReply(which, r.subspan(at))) return true;
        if (findBuriedReply(which, r)) return true;
    }
    return false;
}

// A modem still streaming from an earlier session (its host went away without stopping it)
// buries the reply among its packets: every frame of the chunk is looked at, and while the
// stream keeps the reads full a few more chunks are read before the query is sent again.
bool KvxLog::findBuriedReply(int which, std::span<const uint8_t> reply) {
    constexpr int kMoreReads = 16;
    for (int more = 0;; ++more) {
        for (size_t start : replyFrames_) {
            if (start < reply.size() && acceptedAt(which, reply, start) &&
                storeReply(which, reply.subspan(start)))
                return true;
        }
        if (more == kMoreReads || replyFrames_.size() < 2 || connectsAborted_.load()) return false;
        auto port = portSnapshot();
        if (!port) return false;
        auto next = readReply(*port);
        if (!next) return false;
        reply = *next;
    }
}

bool KvxLog::storeReply(int which, std::span<const uint8_t> reply) {
    switch (which) {
        case kQueryMessageRanges: {
            // 7D 01 01, one byte, LE32 count, then (first, last) pairs.
            ByteReader in(reply);
            if (!in.skip(4)) return false;
            auto count = in.u32();
            if (!count) return false;
            const size_t n = std::min<size_t>(*count, kMaxMessageRanges);
            if (in.remaining() / 4 < n) return false;
            std::array<MessageRange, kMaxMessageRanges> ranges{};
            for (size_t i = 0; i < n; ++i) {
                MessageRange range{*in.u16(), *in.u16()};
                // One request carries at most kMaxRangeIds level masks: a wider range keeps
                // its first identifiers.
                if (range.last >= range.first && range.last - range.first + 1u > kMaxRangeIds)
                    range.last = static_cast<uint16_t>(range.first + kMaxRangeIds - 1);
                ranges[i] = range;
            }
            ranges_ = ranges;
            rangeCount_ = n;
            return true;
        }
        case kQueryLogLimits: {
            ByteReader in(reply);
            if (!in.skip(12) || in.remaining() < 64) return false;
            for (auto& limit : logLimits_) limit = std::min(*in.u32(), kMaxLogItemLimit);
            return true;
        }
        case kQueryEventMaskSize: {
            auto size = le16At(reply, 4);
            if (!size) return false;
            eventMaskSize_ = *size;
            return true;
        }
        default:
            return false;
    }
}

bool KvxLog::connect(int deviceType, const char* portName) {
    deviceType_ = deviceType;
    clearstats();
    clearnotkept();
    timeQueryOutstanding_.store(false);
    eventTime_.fill(0);
    lastOpen_ = serial::OpenStatus{};

    std::string name;
    if (deviceType != 0) {
        for (const auto& slot : devicetable()) {
            if (slot.deviceType == deviceType && findport(slot.text, name)) break;
            name.clear();
        }
        // Not located: an empty path tells the caller "Couldn't locate the device".
        if (name.empty()) lastOpen_.error = serial::OpenError::NotFound;
    } else if (portName != nullptr) {
        name = portName;
    }

    bool result = false;
    {
        // A port still open from an earlier connect is released before the new one opens.
        std::shared_ptr<serial::Port> old;
        std::lock_guard lock(portMutex_);
        old.swap(port_);
    }
    if (!name.empty()) {
        auto opened =
            portOpener_ ? portOpener_(name, &lastOpen_) : serial::openport(name, &lastOpen_);
        if (opened) {
            {
                std::lock_guard lock(portMutex_);
                port_ = std::shared_ptr<serial::Port>(std::move(opened));
            }
            const uint8_t messageQuery[] = {kCmdMessageConfig, kMsgSubGetRanges};
            uint8_t logQuery[8];
            uint8_t* c = logQuery;
            putBytes({kCmdLogConfig, 0, 0, 0}, c);
            put32(kLogOpGetRanges, c);
            const uint8_t eventQuery[] = {kCmdEventMaskGet, 0, 0, 0};
            result = runQuery(messageQuery, sizeof messageQuery, kQueryMessageRanges) &&
                     runQuery(logQuery, sizeof logQuery, kQueryLogLimits);
            // The event mask size only sizes the event mask request; without it the
            // connection still stands.
            if (result) runQuery(eventQuery, sizeof eventQuery, kQueryEventMaskSize);
        }
    }

    resetParser();
    source_.store(kSourcePort);
    clearNote();
    return result;
}

void KvxLog::abortconnects() {
    connectsAborted_.store(true);
    if (auto port = portSnapshot()) port->wake();
}

std::span<const MessageRange> KvxLog::messageranges() const {
    return {ranges_.data(), rangeCount_};
}

// ---- logging and status -----------------------------------------------------------------------

void KvxLog::startlogging(bool start, int source, FILE* rawFile) {
    if (!start) {
        static constexpr uint8_t kStop[] = {0x4B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
        static constexpr uint8_t kAllMessagesOff[] = {0x7D, 0x05, 0x00, 0x00,
                                                      0x00, 0x00, 0x00, 0x00};
        static constexpr uint8_t kAllLoggingOff[] = {0x73, 0x00, 0x00, 0x00,
                                                     0x00, 0x00, 0x00, 0x00};
        sendRequest(kStop, sizeof kStop);
        timeQueryOutstanding_.store(false);
        seteventreporting(false);
        sendRequest(kAllMessagesOff, sizeof kAllMessagesOff);
        sendRequest(kAllLoggingOff, sizeof kAllLoggingOff);
        return;
    }
    if (source == kSourcePort) {
        static constexpr uint8_t kStart[] = {0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0xFF};
        source_.store(kSourcePort);
        sendRequest(kStart, sizeof kStart);
    } else if (source == kSourceRawFile) {
        source_.store(kSourceRawFile);
        rawFile_ = rawFile;
        clearstats();
        clearnotkept();
        resetParser();
    } else {
        std::printf("KvxLog::startlogging - invalid input source %d\n", source);
        std::fflush(stdout);
    }
}

void KvxLog::statusquery(int kind) {
    static constexpr uint8_t k0[] = {0x1C};
    static constexpr uint8_t k1[] = {0x7C};
    static constexpr uint8_t k2[] = {0x4B, 0x08, 0x01, 0x00};
    static constexpr uint8_t k3[] = {0x4B, 0x08, 0x00, 0x00};
    static constexpr uint8_t k4[] = {0x4B, 0x0F, 0x00, 0x00};
    static constexpr uint8_t k5[] = {0x78, 0x72, 0x50};
    static constexpr uint8_t k6[] = {0x1D};
    static constexpr uint8_t k7[] = {0x4B, 0x09, 0x00, 0x00};
    static constexpr uint8_t k8[] = {0x00};
    static constexpr uint8_t k9[] = {0x4B, 0x04, 0x05, 0x00};
    static constexpr uint8_t k10[] = {0x4B, 0x04, 0x00, 0x00};
    static constexpr std::span<const uint8_t> kQueries[] = {k0, k1, k2, k3, k4, k5,
                                                            k6, k7, k8, k9, k10};
    if (kind < 0 || kind >= static_cast<int>(std::size(kQueries))) return;
    // The time query is sent again only once its reply has been decoded.
    if (kind == 6 && timeQueryOutstanding_.exchange(true)) return;
    // At most a few answers are awaited: a modem that answers none does not pile them up.
    if (kind == 5 && onDemand_.load() < 4) onDemand_.fetch_add(1);
    const auto payload = kQueries[kind];
    sendRequest(payload.data(), payload.size());
}

void KvxLog::seteventreporting(bool on) {
    const uint8_t payload[] = {kCmdEventReport, static_cast<uint8_t>(on ? 1 : 0)};
    sendRequest(payload, sizeof payload);
}

// ---- filter requests ------------------------------------------------------------------------

namespace {
// The wire frame of a payload in `frame`; 0 when the payload is too long for one frame,
// which is refused whole (a cut mask would switch the wrong items on).
size_t frameOf(const uint8_t* payload, size_t payloadLength,
               std::array<uint8_t, kFrameBufferSize>& frame) {
    if (payloadLength > kMaxPayload) {
        std::printf("KvxLog: request 0x%02X of %zu bytes is too long for a frame, not sent\n",
                    payload[0], payloadLength);
        std::fflush(stdout);
        return 0;
    }
    std::memcpy(frame.data(), payload, payloadLength);
    return finishframe(frame.data(), payloadLength);
}
}  // namespace

void KvxLog::sendRequest(const uint8_t* payload, size_t payloadLength) {
    std::array<uint8_t, kFrameBufferSize> frame{};
    if (const size_t length = frameOf(payload, payloadLength, frame); length > 0)
        transact(frame.data(), length, false);
}

void KvxLog::sendOrWrite(const uint8_t* payload, size_t payloadLength, int mode, FILE* out) {
    std::array<uint8_t, kFrameBufferSize> frame{};
    const size_t length = frameOf(payload, payloadLength, frame);
    if (length == 0) return;
    if (mode == kModeSend) {
        requests_.fetch_add(1, std::memory_order_relaxed);
        transact(frame.data(), length, false);
        dispatch();
    } else if (mode == kModeFile && out != nullptr) {
        std::fwrite(frame.data(), 1, length, out);
    }
}

void KvxLog::sendnvread(int item, int mode, FILE* out) {
    const int count = item == kNvArrayItem ? kNvArrayCount : 1;
    for (int index = 0; index < count; ++index) {
        std::array<uint8_t, 1 + 2 + 1 + kNvDataBytes + 2> payload{};
        uint8_t* c = payload.data();
        put8(kCmdNvRead, c);
        put16(static_cast<uint32_t>(item), c);
        put8(static_cast<uint8_t>(index), c);
        sendOrWrite(payload.data(), payload.size(), mode, out);
    }
}

void KvxLog::sendlogmasks(std::span<const MaskItem> entries, int mode, FILE* out) {
    std::vector<uint8_t> payload(16 + kMaskBufferSize);
    std::array<uint8_t, kLogItemsPerEquipment / 8> mask{};
    for (int equipment = 0; equipment < kEquipmentIds; ++equipment) {
        mask.fill(0);
        size_t inUse = 0;
        for (const auto& e : entries) {
            if (e.id < 0 || (e.id >> 12) != equipment) continue;
            const size_t item = static_cast<size_t>(e.id) & 0xFFF;
            mask[item / 8] = static_cast<uint8_t>(mask[item / 8] | (1u << (item % 8)));
            inUse = std::max(inUse, item / 8 + 1);
        }
        // A modem limit too large for one frame is sent as the largest item count a frame
        // holds: a log code names at most kLogItemsPerEquipment items, so every item that can
        // be ticked is still covered, and the modem clears the items the request leaves out.
        const uint32_t limit = std::min({logLimits_[static_cast<size_t>(equipment)],
                                         kMaxLogItemLimit, kMaxLogItemsPerFrame});
        if (limit == 0) continue;
        const size_t maskBytes = (limit + 7) / 8;
        uint8_t* c = payload.data();
        putBytes({kCmdLogConfig, 0, 0, 0}, c);
        put32(kLogOpSetMask, c);
        put32(static_cast<uint32_t>(equipment), c);
        put32(limit, c);
        for (size_t k = 0; k < maskBytes; ++k) *c++ = k < inUse ? mask[k] : 0;
        sendOrWrite(payload.data(), static_cast<size_t>(c - payload.data()), mode, out);
    }
}

void KvxLog::sendeventmask(std::span<const MaskItem> entries, int mode, FILE* out) {
    std::array<uint8_t, kMaskBufferSize> mask{};
    size_t highest = 0;
    for (const auto& e : entries) {
        // Identifiers beyond the mask buffer cannot be expressed; they are left out.
        if (e.id < 0 || static_cast<size_t>(e.id) / 8 >= mask.size()) continue;
        const size_t byte = static_cast<size_t>(e.id) / 8;
        mask[byte] = static_cast<uint8_t>(mask[byte] | (1u << (e.id % 8)));
        highest = std::max(highest, byte);
    }
    std::vector<uint8_t> payload(6 + highest + 1);
    uint8_t* c = payload.data();
    putBytes({kCmdEventMaskSet, 0, 0, 0}, c);
    put16(eventMaskSize_, c);
    std::memcpy(c, mask.data(), highest + 1);
    sendOrWrite(payload.data(), payload.size(), mode, out);
}

void KvxLog::sendmessagemasks(std::span<const MaskItem> entries, int mode, FILE* out) {
    std::vector<uint8_t> payload(8 + kMaskBufferSize);
    for (const auto& range : messageranges()) {
        if (range.last < range.first) continue;
        // connect keeps every range within kMaxRangeIds; the bound holds for tables set
        // any other way too.
        const size_t ids = std::min<size_t>(range.last - range.first + 1u, kMaxRangeIds);
        // A range wider than one frame holds goes out as consecutive sub-ranges, in order.
        for (size_t done = 0; done < ids; done += kMaxIdsPerFrame) {
            const size_t part = std::min(ids - done, kMaxIdsPerFrame);
            const uint16_t first = static_cast<uint16_t>(range.first + done);
            const uint16_t last = static_cast<uint16_t>(first + part - 1);
            uint8_t* c = payload.data();
            putBytes({kCmdMessageConfig, kMsgSubSetMask}, c);
            put16(first, c);
            put16(last, c);
            putBytes({0, 0}, c);
            uint8_t* masks = c;
            std::memset(masks, 0, part * 4);
            for (const auto& e : entries) {
                if (e.id < first || e.id > last || e.sub < 0 || e.sub > 31) continue;
                const size_t byte =
                    static_cast<size_t>(e.id - first) * 4 + static_cast<size_t>(e.sub) / 8;
                masks[byte] = static_cast<uint8_t>(masks[byte] | (1u << (e.sub % 8)));
            }
            sendOrWrite(payload.data(), 8 + part * 4, mode, out);
        }
    }
}

// ---- request scripts ------------------------------------------------------------------------

void KvxLog::writescriptheader(FILE* out) {
    if (out != nullptr) std::fwrite(kScriptHeader.data(), 1, kScriptHeader.size(), out);
}

int KvxLog::replayscript(const std::string& path) {
    if (path.empty()) return 1;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return 1;
    // Compared as the stream delivers them, end of file (-1) included: a file cut short
    // after its 'v' passes and replays nothing, as it always has.
    const int c0 = std::fgetc(in);
    const int c1 = std::fgetc(in);
    const int c2 = std::fgetc(in);
    if (c0 != kScriptHeader[0] || c1 > kScriptHeader[1] || c2 > kScriptHeader[2]) {
        std::fclose(in);
        return 2;
    }
    std::array<uint8_t, kFrameBufferSize> frame{};
    size_t length = 0;
    bool overlong = false;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
        const auto b = static_cast<uint8_t>(c);
        if (!overlong) {
            if (length == frame.size()) {
                // No request of ours is this long: the frame is dropped up to its end.
                overlong = true;
            } else {
                frame[length++] = b;
            }
        }
        if (b == kFlag) {
            if (!overlong) {
                requests_.fetch_add(1, std::memory_order_relaxed);
                transact(frame.data(), length, false);
                dispatch();
            }
            length = 0;
            overlong = false;
        }
    }
    std::fclose(in);
    return 0;
}

}  // namespace kvx::dm
