// QXDM .dmc text: tag search, the logging view and the four comma-separated sections.
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
    return 0;
}
