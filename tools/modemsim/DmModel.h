// The simulated modem's DM behaviour without any transport: answers requests, keeps the
// log/event/message masks the host sets, and produces the packets a logging modem streams.
// Not thread-safe: one owner (the modem's serving thread, a test, or a fuzzer) calls it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "modemsim/ModemProfile.h"

namespace kvx::modemsim {

// The 8-byte DM time stamp of now: 1.25 ms units since 6 Jan 1980 in bits 16-63, a
// fraction of the unit in bits 0-15. Counted in UTC as the modems of our captures do; with
// `gpsLeap` in true GPS time (the leap seconds ahead).
uint64_t dmTimestampNow(bool gpsLeap = false);

// A replayed capture's packets (see Replay.h); declared here so the model can stream them.
class ReplaySource;

enum class StreamKind : uint8_t { Log, Event, Message };

// What handle() did with a request, for tests and the request log.
enum class RequestEffect : uint8_t {
    Answered,       // a reply was produced (state may have changed too)
    StateOnly,      // state changed, no reply (logging start/stop)
    Unanswered,     // a reply was due but `answer` was false
    BadCommand,     // unknown command: 0x13 reply with the request echoed
    BadLength,      // known command of a wrong length: 0x15 reply with the request echoed
    BadParameters,  // known command with an unsupported value: 0x14 reply
    Empty,          // nothing to handle
};

class DmModel {
public:
    explicit DmModel(ModemProfile profile);

    // Handles one request payload (CRC already checked and removed). Reply payloads are
    // appended to `replies`, in the order they are sent. With `answer` false the request's
    // effect on the modem state still applies but nothing is appended.
    RequestEffect handle(std::span<const uint8_t> request, bool answer,
                         std::vector<std::vector<uint8_t>>& replies);

    // The next packet of the logging stream, written into `payload` (reused storage). False
    // when logging is off or the masks enable nothing. Log items are picked by their typical
    // share of a real stream and carry bodies of their real layouts; the counter item
    // (kCounterLogCode) carries a 32-bit sequence number (1, 2, ...) as its first four body
    // bytes, returned in `sequence` (0 for every other packet). A multi-SIM profile wraps
    // each log packet (see ModemProfile). With a replay source, its packets are streamed
    // instead, re-timed and filtered by the masks.
    bool nextStreamPacket(std::vector<uint8_t>& payload, StreamKind& kind, uint32_t& sequence);

    // Streams the packets of a recorded capture instead of made-up ones (not owned; null
    // ends the replay). The masks still decide what goes out.
    void setReplay(ReplaySource* source) { replay_ = source; }

    // Power cycle: logging off (a plain chipset keeps waiting for masks), event reporting off,
    // every mask cleared. The sequence number keeps counting so that packets before and after
    // the cycle stay distinguishable.
    void reset();

    // The sequence number of the last counter packet made; the next one gets this + 1. The
    // modem's server rewinds it when packets it made never reached the line (queued packets
    // dropped at a logging stop, a hang or an unplug), so that numbers stay without gaps.
    uint32_t lastSequence() const { return sequence_; }
    void rewindSequence(uint32_t last) { sequence_ = last; }

    bool loggingOn() const { return logging_; }
    bool eventReportingOn() const { return eventReporting_; }
    // True when nextStreamPacket() would produce a packet.
    bool streaming();

    // The enabled items, in ascending order (for tests and diagnostics).
    const std::vector<uint16_t>& enabledLogCodes();
    const std::vector<uint16_t>& enabledEvents();
    // (subsystem id, level mask) of every message id whose mask is non-zero.
    const std::vector<std::pair<uint16_t, uint32_t>>& enabledMessages();

    const ModemProfile& profile() const { return profile_; }
    // True when the mask of log code `code` is set.
    bool logEnabled(uint16_t code) const;
    // True when message `ssid` is enabled at any of the levels in `levels`.
    bool messageEnabled(uint16_t ssid, uint32_t levels) const;
    bool eventEnabled(uint16_t id) const;
    // The time stamp the modem puts on what it sends now.
    uint64_t stampNow() const { return dmTimestampNow(profile_.gpsLeapSeconds); }

    // Reply builders, also used on their own by tests.
    std::vector<uint8_t> versionReply() const;
    std::vector<uint8_t> gsmStatusReply() const;
    std::vector<uint8_t> servingCellLogPacket() const;  // a 0x10 packet for log code 0x5072

private:
    void rebuildEnabled();
    RequestEffect handlePlain(std::span<const uint8_t> request, bool answer,
                              std::vector<std::vector<uint8_t>>& replies);
    // The log packet is written from byte `at` of `p` on (room for a multi-SIM wrapper).
    void buildCounterPacket(std::vector<uint8_t>& p, uint32_t seq, size_t at);
    void buildLogPacket(std::vector<uint8_t>& p, uint16_t code, size_t at);
    uint16_t pickLogCode();
    bool nextReplayPacket(std::vector<uint8_t>& payload, StreamKind& kind);
    void buildEventReport(std::vector<uint8_t>& p);
    void buildMessage(std::vector<uint8_t>& p);
    uint64_t rand64();

    RequestEffect handleSubsystem(std::span<const uint8_t> req, bool answer,
                                  std::vector<std::vector<uint8_t>>& replies);
    RequestEffect handleLogConfig(std::span<const uint8_t> req, bool answer,
                                  std::vector<std::vector<uint8_t>>& replies);
    RequestEffect handleMessageConfig(std::span<const uint8_t> req, bool answer,
                                      std::vector<std::vector<uint8_t>>& replies);
    RequestEffect handleEvents(std::span<const uint8_t> req, bool answer,
                               std::vector<std::vector<uint8_t>>& replies);
    RequestEffect handleDiagService(std::span<const uint8_t> req, bool answer,
                                    std::vector<std::vector<uint8_t>>& replies);

    ModemProfile profile_;
    bool logging_ = false;
    bool eventReporting_ = false;
    std::array<std::vector<uint8_t>, 16> logMasks_;
    std::vector<uint8_t> eventMask_;
    std::vector<std::vector<uint32_t>> messageMasks_;  // parallel to profile_.messageRanges

    bool dirty_ = true;
    std::vector<uint16_t> enabledLogs_;
    std::vector<uint16_t> enabledEvents_;
    std::vector<std::pair<uint16_t, uint32_t>> enabledMessages_;

    size_t eventCursor_ = 0;
    size_t messageCursor_ = 0;
    uint32_t slot_ = 0;
    uint32_t sequence_ = 0;
    uint32_t wrapped_ = 0;  // log packets other than the counter, for their subscriptions
    uint32_t dlSignalling_ = 0;
    std::vector<uint32_t> logWeights_;  // cumulative, parallel to enabledLogs_
    ReplaySource* replay_ = nullptr;
    bool replayBarren_ = false;  // a whole pass of the replay matched no mask
    uint64_t rng_;
};

}  // namespace kvx::modemsim
