// Reading filter files back into lists of identifiers: `.sqf` files (the 'v' 00 01 header and
// the DM mask requests exactly as sent) and QXDM `.dmc` files (tags searched in the text).
// Pure decoding over bytes plus thin file openers; nothing here touches the trees.
//
// Bounds: each list holds at most kMaxFilterValues values (further ones are dropped and
// counted); a `.sqf` frame longer than kMaxScriptFrame bytes is skipped up to its end.
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
inline constexpr size_t kMaxScriptFrame = 4096;  // bytes, terminator included

// Outcome of reading a filter file; the values are the result codes Load Filters reports.
enum class FilterFileResult : int {
    Read = 0,       // lists valid (possibly empty)
    NotOpened = 1,  // no path, no such file, a folder, or not readable ("Could not decode ...")
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

    void clear() { *this = FilterLists{}; }
};

struct FilterFileRead {
    FilterFileResult result = FilterFileResult::NotOpened;
    int sysErrno = 0;  // why the file could not be opened (NotOpened), else 0
    FilterLists lists;
};

// The header test: bytes read as -1 (missing) .. 255; accepted when the first is 'v', the
// second at most 0 and the third at most 1, so a lone 'v' passes.
bool acceptScriptHeader(int b0, int b1, int b2);

// Decodes `.sqf` file content (header included).
FilterFileRead decodeFilterScript(std::span<const uint8_t> content);
// Decodes one unescaped frame (terminator included) into the lists; others are ignored.
void decodeScriptFrame(std::span<const uint8_t> frame, FilterLists& lists);

// `.dmc` import over the file's bytes (read up to the first 0xFF).
FilterFileRead decodeDmcText(std::string_view text);
// `.dmc` import from a file opened for binary reading (not closed here).
FilterFileRead readDmcFilter(std::FILE* file);

// Reads a filter file: `.dmc` import when the path contains ".dmc" (case-sensitive, anywhere),
// else `.sqf`.
FilterFileRead readFilterFile(const std::string& path);

// The message Load Filters shows for a result other than Read (empty for Read).
std::string filterFileMessage(FilterFileResult result);

}  // namespace kvx::filters
