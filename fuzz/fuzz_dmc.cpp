// QXDM .dmc text: tag search, the logging view and the four comma-separated sections, with
// unreadable entries counted and unclosed sections reported.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "filters/FilterFile.h"

using namespace kvx::filters;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FilterFileRead r =
        decodeDmcText(std::string_view(reinterpret_cast<const char*>(data), size));
    const FilterLists& l = r.lists;
    if (l.events.size() > kMaxFilterValues || l.messages.size() > kMaxFilterValues ||
        l.logs.size() > kMaxFilterValues || !l.nv.empty())
        std::abort();
    if (r.result != FilterFileResult::Read && r.result != FilterFileResult::NotQxdm) std::abort();
    // The quoted entry is short printable text, kept only when an entry was unreadable.
    if (l.unreadable == 0 && !l.firstUnreadable.empty()) std::abort();
    if (l.firstUnreadable.size() > kMaxQuotedEntry + 3) std::abort();
    for (char c : l.firstUnreadable)
        if (c < 0x20 || c > 0x7E) std::abort();
    if ((r.end == FilterFileEnd::UnclosedTag) == r.unclosedTag.empty()) std::abort();
    const bool cut = l.dropped != 0 || r.end != FilterFileEnd::Whole;
    if (r.result == FilterFileResult::Read && filterFileCut(r) != cut) std::abort();
    return 0;
}
