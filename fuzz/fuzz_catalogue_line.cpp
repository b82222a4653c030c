// Catalogue text: the first byte picks the line kind (0-5), the rest is parsed as one line and
// then loaded as a whole file, first as a category file and then as an item file of that kind,
// followed by pruning, a click on the first node and collecting the checked items.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filters/FilterEntry.h"
#include "filters/FilterSet.h"

using namespace kvx::filters;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto kind = static_cast<LineKind>(data[0] % 6);
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const FilterEntry e = parseCatalogueLine(kind, text);
    if (e.categoryRefCount < 1 || e.categoryRefCount > 2) std::abort();
    (void)nodeText(e, kind, true);
    (void)nodeText(e, kind, false);

    if (text.empty()) return 0;
    FilterSet set;
    FilterReporter reporter;
    FilterTable& table = kind == LineKind::Message ? set.messageTable() : set.logTable();
    int32_t start = 0;
    for (LineKind k : {LineKind::Category, kind}) {
        std::FILE* f = fmemopen(text.data(), text.size(), "rb");
        if (!f) return 0;
        table.loadCatalogueStream(f, k, start, reporter);
        std::fclose(f);
    }
    if (table.entryCount() > FilterTable::kMaxEntries ||
        table.categoryCount() > FilterTable::kMaxCategories)
        std::abort();
    table.click(table.tree()->firstChild(kNoNode), true);
    if (table.collectChecked().size() > static_cast<size_t>(table.entryCount())) std::abort();
    set.pruneAll();
    return 0;
}
