// Reading filter files back into lists of identifiers: `.sqf` files (the 'v' 00 01 header and
// the DM mask requests exactly as sent) and QXDM `.dmc` files (tags searched in the text).
// Pure decoding over bytes plus thin file openers; nothing here touches the trees.
//
// Bounds: each list holds at most kMaxFilterValues values (further ones are dropped and
// counted); a `.sqf` frame longer than kMaxScriptFrame bytes is skipped up to its end; a `.dmc`
// file is read up to kMaxDmcBytes. Whatever a successful read leaves out is counted in the
// result, and filterFileWarnings turns it into the lines the user is shown.
// Any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvx::filters {

inline constexpr size_t kMaxFilterValues = 7000;
inline constexpr size_t kMaxScriptFrame = 4096;           // bytes, terminator included
inline constexpr size_t kMaxDmcBytes = size_t{64} << 20;  // a .dmc file beyond is not read
inline constexpr size_t kMaxQuotedEntry = 40;             // characters of an unreadable entry kept

// Outcome of reading a filter file; the values are the result codes Load Filters reports.
enum class FilterFileResult : int {
    Read = 0,       // lists valid (possibly empty)
    NotOpened = 1,  // no path, no file, a folder, a read error ("Could not decode ...")
    BadHeader = 2,  // not 'v', <=0, <=1 ("... incompatable with the selected filter version.")
    NotQxdm = 3,    // a .dmc file without the QXDM tags
};

struct FilterLists {
    std::vector<int32_t> events;
    std::vector<std::pair<int32_t, int32_t>> messages;  // (SSID, level)
    std::vector<int32_t> logs;
    std::vector<int32_t> nv;
    uint32_t dropped = 0;        // values beyond kMaxFilterValues in a list
    uint32_t skippedFrames = 0;  // .sqf frames longer than kMaxScriptFrame
    // .dmc entries that hold no number (empty, blanks, text); none becomes an item. The first
    // is kept for the message, blanks trimmed, at most kMaxQuotedEntry characters, bytes
    // outside printable ASCII shown as '?'.
    uint32_t unreadable = 0;
    std::string firstUnreadable;

    void clear() { *this = FilterLists{}; }
};

// Where a file ends before a whole one would (result Read unless said).
enum class FilterFileEnd : uint8_t {
    Whole,
    ShortHeader,  // .sqf: fewer than the three header bytes (a lone 'v' is still read)
    CutRequest,   // .sqf: `cutBytes` bytes after the last 0x7E, a request cut off
    UnclosedTag,  // .dmc: `unclosedTag` opened without its closing tag; nothing of it read.
                  // Also set with NotQxdm when only the root's closing tag is missing.
    TooLong,      // .dmc: the text beyond kMaxDmcBytes was not read
};

struct FilterFileRead {
    FilterFileResult result = FilterFileResult::NotOpened;
    int sysErrno = 0;  // why the file could not be opened (NotOpened), else 0
    FilterLists lists;
    FilterFileEnd end = FilterFileEnd::Whole;
    size_t cutBytes = 0;      // CutRequest
    std::string unclosedTag;  // UnclosedTag: the first such opening tag, e.g. "<EventIDs>"
};

// The header test: bytes read as -1 (missing) .. 255; accepted when the first is 'v', the
// second at most 0 and the third at most 1, so a lone 'v' passes.
bool acceptScriptHeader(int b0, int b1, int b2);

// Decodes `.sqf` file content (header included).
FilterFileRead decodeFilterScript(std::span<const uint8_t> content);
// Decodes one unescaped frame (terminator included) into the lists; others are ignored.
void decodeScriptFrame(std::span<const uint8_t> frame, FilterLists& lists);

// `.dmc` import over the file's bytes (read up to the first 0xFF). Entries end at commas, and
// text after a list's last comma is an entry unless blank. An entry with "0x" is the hex
// digits (either case) right after it, otherwise its leading decimal number; an OTA entry is
// the code before its "/", or the whole entry without one. An entry without such a number is
// counted in `unreadable`, never made item 0. An opening tag without its closing tag reads
// nothing of that section and sets `end`.
FilterFileRead decodeDmcText(std::string_view text);
// `.dmc` import from a file opened for binary reading (not closed here).
FilterFileRead readDmcFilter(std::FILE* file);

// Reads a filter file: `.dmc` import when the path contains ".dmc" (case-sensitive, anywhere),
// else `.sqf`.
FilterFileRead readFilterFile(const std::string& path);

// The message Load Filters shows for a result other than Read (empty for Read).
std::string filterFileMessage(FilterFileResult result);

// One line for each loss of a read that succeeded (none when nothing was lost): values beyond
// the list limit, unreadable entries (with the first one quoted), overlong requests, and an
// early end of the file. For NotQxdm, a line when the root tag is not closed (a cut file).
std::vector<std::string> filterFileWarnings(const FilterFileRead& read);
// True when items the file holds were left out: values beyond the limit, overlong requests,
// or an early end. Unreadable entries are not counted here: they name no item.
bool filterFileCut(const FilterFileRead& read);

}  // namespace kvx::filters
