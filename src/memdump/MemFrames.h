// The download-mode memory-debug protocol as pure functions over bytes: the four fixed host
// frames, the read request builder, the receiver that cuts the modem's bytes into frames, and
// the parsers of the region table and of a read response. No ports, threads or clocks.
//
// All multi-byte fields of this protocol are big-endian (unlike DM). Frames carry the
// CRC-16/X-25 of their payload, low byte first, and 0x7D/0x7E escaped, as DM frames do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kvx::memdump {

// Command codes.
inline constexpr uint8_t kAck = 0x02;
inline constexpr uint8_t kNoOperation = 0x06;
inline constexpr uint8_t kParameterRequest = 0x07;
inline constexpr uint8_t kParameterResponse = 0x08;
inline constexpr uint8_t kReset = 0x0A;
inline constexpr uint8_t kMemDebugQuery = 0x10;
inline constexpr uint8_t kMemDebugInfo = 0x11;
inline constexpr uint8_t kReadRequest = 0x12;
inline constexpr uint8_t kReadResponse = 0x13;

// The four fixed host frames, exactly as sent (leading flag included).
inline constexpr std::array<uint8_t, 5> kNoOperationFrame{0x7E, 0x06, 0x4E, 0x95, 0x7E};
inline constexpr std::array<uint8_t, 5> kParameterRequestFrame{0x7E, 0x07, 0xC7, 0x84, 0x7E};
inline constexpr std::array<uint8_t, 5> kResetFrame{0x7E, 0x0A, 0x22, 0x5F, 0x7E};
inline constexpr std::array<uint8_t, 5> kMemDebugQueryFrame{0x7E, 0x10, 0xF9, 0xE0, 0x7E};

// Largest chunk one read request asks for (bytes).
inline constexpr uint32_t kMaxChunk = 2040;
// Memory regions kept from the modem's table; entries beyond are ignored.
inline constexpr size_t kMaxRegions = 12;
// Longest description and file name kept (characters, the terminating NUL not counted).
inline constexpr size_t kDescriptionMax = 99;
inline constexpr size_t kFileNameMax = 26;
// Largest frame content (unescaped, CRC included) the receiver keeps. A read response of the
// largest chunk is 2049 bytes; anything far beyond is no frame of this protocol.
inline constexpr size_t kMaxFrameContent = 8192;

// A read request frame: 7E 12, address and length (big-endian), the CRC of those seven
// payload bytes low byte first, 7E; everything between the flags escaped. At most 19 bytes.
struct ReadRequest {
    std::array<uint8_t, 20> bytes{};
    size_t size = 0;
    std::span<const uint8_t> frame() const { return {bytes.data(), size}; }
};
ReadRequest buildReadRequest(uint32_t address, uint16_t length);

// One frame cut from the modem's bytes: its content between the flags, unescaped, the two
// CRC bytes included. Valid until the next call on the receiver.
struct ReceivedFrame {
    std::span<const uint8_t> content;
    bool overflow = false;  // longer than kMaxFrameContent: cut, never good
    // The payload (command code first) when the frame is long enough and its CRC is right.
    std::optional<std::span<const uint8_t>> payload() const;
};

// Cuts the modem's bytes into frames at the 0x7E flags. Bytes are carried over between
// feeds, so a frame split across reads, two frames in one read, and a leading flag or none
// all come out right. An empty frame (7E 7E) is skipped. 0x7D escapes the next byte (XOR
// 0x20), also across feeds. Memory: the bytes of the last feed plus one partial frame.
class FrameReceiver {
  public:
    // Appends bytes; call when next() has returned false (earlier bytes are all consumed).
    void feed(std::span<const uint8_t> bytes);
    // The next complete frame from what has been fed; false when none is complete yet.
    bool next(ReceivedFrame& out);
    // Unescaped bytes of the frame in progress (0 between frames).
    size_t partialLength() const { return partial_.size(); }
    // Forgets everything (a new connection).
    void reset();

  private:
    std::vector<uint8_t> raw_;
    size_t rawPos_ = 0;
    std::vector<uint8_t> partial_;
    std::vector<uint8_t> done_;
    bool escape_ = false;
    bool overflow_ = false;
};

// One entry of the modem's memory-debug table, as announced.
struct AnnouncedRegion {
    uint8_t type = 0;
    uint32_t base = 0;
    uint32_t length = 0;
    std::string description;  // cut to kDescriptionMax
    std::string fileName;     // cut to kFileNameMax, as the modem gave it (not yet made safe)
};

// Parses the payload of a memory-debug information (0x11, code first): table length, then
// entries (type, base, length, NUL-terminated description and file name) until the table
// length is used up or the payload ends; at most kMaxRegions entries are kept. A text whose
// NUL is missing ends at the payload's end. nullopt when the payload is no 0x11 or is too
// short for the table length.
std::optional<std::vector<AnnouncedRegion>> parseRegionTable(std::span<const uint8_t> payload);

// The fields of a read response (0x13, code first). nullopt when the payload is no 0x13 or
// holds fewer data bytes than its length field announces.
struct ReadResponse {
    uint32_t address = 0;
    std::span<const uint8_t> data;
};
std::optional<ReadResponse> parseReadResponse(std::span<const uint8_t> payload);

// The name a region file gets in the output folder: the last path component of what the
// modem announced ('/' and '\' both separate), every character that cannot stand in a file
// name on Linux or Windows replaced by '_'; "region<number>.bin" when nothing usable is left
// (empty, ".", ".."). Never contains a separator, so it cannot leave the folder.
std::string safeFileName(const std::string& announced, size_t regionNumber);

}  // namespace kvx::memdump
