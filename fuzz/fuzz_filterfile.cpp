// .sqf filter file content: header test, unescaping, frames cut at 0x7E and decoded into the
// four filter lists, which must stay within their bounds; a file cut short is marked.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "filters/FilterFile.h"

using namespace kvx::filters;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FilterFileRead r = decodeFilterScript(std::span<const uint8_t>(data, size));
    const FilterLists& l = r.lists;
    if (l.events.size() > kMaxFilterValues || l.messages.size() > kMaxFilterValues ||
        l.logs.size() > kMaxFilterValues || l.nv.size() > kMaxFilterValues)
        std::abort();
    if (r.result != FilterFileResult::Read && r.result != FilterFileResult::BadHeader) std::abort();
    // A cut request lies after the header; a short header only in a file of under 3 bytes.
    if (r.end == FilterFileEnd::CutRequest && (r.cutBytes == 0 || r.cutBytes + 3 > size))
        std::abort();
    if ((r.end == FilterFileEnd::ShortHeader) != (r.result == FilterFileResult::Read && size < 3))
        std::abort();
    return 0;
}
