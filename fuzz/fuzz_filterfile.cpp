// .sqf filter file content: header test, unescaping, frames cut at 0x7E and decoded into the
// four filter lists, which must stay within their bounds.
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
    return 0;
}
