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

// The 8-byte DM time stamp of a moment: 1.25 ms units since 6 Jan 1980 in bits 16-63,
// a sub-unit count in bits 0-15.
uint64_t dmTimestampNow();

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
    // when logging is off or the masks enable nothing. Log packets carry a 32-bit sequence
    // number (1, 2, ...) as the first four body bytes; it is returned in `sequence` (0 for
    // events and messages). A multi-SIM profile wraps each log packet (see ModemProfile).
    bool nextStreamPacket(std::vector<uint8_t>& payload, StreamKind& kind, uint32_t& sequence);

    // Power cycle: logging off, event reporting off, every mask cleared. The sequence number
    // keeps counting so that packets before and after the cycle stay distinguishable.
    void reset();

    // The sequence number of the last log packet made; the next one gets this + 1. The
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

    // Reply builders, also used on their own by tests.
    std::vector<uint8_t> versionReply() const;
    std::vector<uint8_t> gsmStatusReply() const;
    std::vector<uint8_t> servingCellLogPacket() const;  // a 0x10 packet for log code 0x5072

private:
    void rebuildEnabled();
    // The log packet is written from byte `at` of `p` on (room for a multi-SIM wrapper).
    void buildLogPacket(std::vector<uint8_t>& p, uint16_t code, uint32_t seq, size_t at = 0);
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

    size_t logCursor_ = 0;
    size_t eventCursor_ = 0;
    size_t messageCursor_ = 0;
    uint32_t slot_ = 0;
    uint32_t sequence_ = 0;
    uint64_t rng_;
};

}  // namespace kvx::modemsim
