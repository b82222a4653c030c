// Catalogue records and the six catalogue line parsers: one text line of a catalogue file
// (newline or end-of-file mark included) becomes one FilterEntry. Pure functions over text.
//
// Numbers follow the catalogue's conventions: "decimal" is the leading decimal number after
// optional white space and sign (clamped to 32 bits, no digits give 0); "hex" is the text after
// the first "0x", every character one digit (see parseHexId). A first double quote without a
// closing one gives an empty name, and the fields behind it are missing (0). Any thread.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kvx::filters {

// Kind of a catalogue file / line.
enum class LineKind : int { Category = 0, Log = 1, Ota = 2, Event = 3, Message = 4, Nv = 5 };

// Kind of a filter table. 2 is never assigned; an unbound table holds Unbound.
enum class FilterKind : int32_t { Log = 1, Event = 3, Message = 4, Nv = 5, Unbound = 6 };

// One catalogue record; items and categories alike.
struct FilterEntry {
    int32_t id = 0;   // SSID, event id, log code, NV item or category number
    int32_t sub = 0;  // message level (bit 0..31 of the SSID's mask); 0 otherwise
    std::array<int32_t, 5> categoryRefs{-1, -1, -1, -1, -1};  // -1: no reference
    int32_t categoryRefCount = 0;  // valid refs from the first: 2 for messages, else 1
    std::string name;

    bool operator==(const FilterEntry&) const = default;
};

// Lines shorter than this (newline or end mark included) are not records.
inline constexpr size_t kMinCatalogueLine = 11;
// Longest line kept; the rest of a longer physical line is skipped.
inline constexpr size_t kMaxCatalogueLine = 511;
// Stands in a line where the file ended (also a byte 0xFF in the file).
inline constexpr char kEndMark = static_cast<char>(0xFF);

// Leading decimal number as described above.
int32_t parseDecimal(std::string_view text);
// The value of the text after the first "0x": each following character is one digit, the
// last least significant, arithmetic modulo 2^32. 0-9, A-F and a-f have their values; any
// other character counts as a digit 0 (so "0x10 " is 0x100, never 16). No "0x" gives 0.
int32_t parseHexId(std::string_view text);
// "0x" anywhere: parseHexId; otherwise parseDecimal.
int32_t parseNumber(std::string_view text);

// The six line parsers (exact extraction rules of the catalogue format).
FilterEntry parseCategoryLine(std::string_view line);
FilterEntry parseLogLine(std::string_view line);
FilterEntry parseOtaLine(std::string_view line);
FilterEntry parseEventLine(std::string_view line);
FilterEntry parseMessageLine(std::string_view line);
FilterEntry parseNvLine(std::string_view line);
FilterEntry parseCatalogueLine(LineKind kind, std::string_view line);

// The text of a placed record's tree node: a category shows its name; an item its number(s)
// and name, by line kind and by whether a category took it (`underCategory`).
std::string nodeText(const FilterEntry& entry, LineKind kind, bool underCategory);

// Reads one line from a catalogue file opened in binary mode, reading it as text mode does
// (CR LF becomes LF). The line ends after its newline, or with kEndMark where the file ends
// or a byte 0xFF stands; then `last` is set and nothing more is to be read. At most
// kMaxCatalogueLine characters are kept; the rest of a longer line is skipped.
std::string readCatalogueLine(std::FILE* file, bool& last);

}  // namespace kvx::filters
