// The program's filter catalogue: the four filter tables (log items, events, messages, NV
// items), each bound to its own tree, and the one category-load mark they share. One per main
// window; it lives as long as the window.
//
// Threads: loading and pruning on the window's thread at start-up; afterwards the tables'
// own locks apply (see FilterTable).
#pragma once

#include <cstdint>
#include <string>

#include "filters/FilterTable.h"
#include "filters/TreeModel.h"

namespace kvx::filters {

class FilterSet {
  public:
    // Binds logTable (kind 1), eventTable (3), messageTable (4) and nvTable (5) to their trees.
    FilterSet();
    FilterSet(const FilterSet&) = delete;
    FilterSet& operator=(const FilterSet&) = delete;

    FilterTable& logTable() { return logTable_; }
    FilterTable& eventTable() { return eventTable_; }
    FilterTable& messageTable() { return messageTable_; }
    FilterTable& nvTable() { return nvTable_; }
    const FilterTable& logTable() const { return logTable_; }
    const FilterTable& eventTable() const { return eventTable_; }
    const FilterTable& messageTable() const { return messageTable_; }
    const FilterTable& nvTable() const { return nvTable_; }

    // The trees the desktop window shows (tree controls 1036, 1024, 1023, 1039).
    TreeModel& logTree() { return logTree_; }
    TreeModel& eventTree() { return eventTree_; }
    TreeModel& messageTree() { return messageTree_; }
    TreeModel& nvTree() { return nvTree_; }

    // categoryCount of the table whose category file began to load most recently.
    int32_t categoryLoadStart() const { return categoryLoadStart_; }

    // Loads one catalogue file into `table` (one of this set's), sharing the load mark.
    void loadCatalogueFile(FilterTable& table, const std::string& path, LineKind kind,
                           const FilterReporter& reporter);
    // pruneEmptyCategories on the log, event, message and NV tables in this order, each
    // repeated until it deletes nothing.
    void pruneAll();
    // resetTree on the NV, log, message and event tables, in this order.
    void resetAll();

  private:
    TreeModel logTree_, eventTree_, messageTree_, nvTree_;
    FilterTable logTable_, eventTable_, messageTable_, nvTable_;
    int32_t categoryLoadStart_ = 0;
};

}  // namespace kvx::filters
