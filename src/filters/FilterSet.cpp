#include "filters/FilterSet.h"

namespace kvx::filters {

FilterSet::FilterSet() {
    logTable_.bind(logTree_, FilterKind::Log);
    eventTable_.bind(eventTree_, FilterKind::Event);
    messageTable_.bind(messageTree_, FilterKind::Message);
    nvTable_.bind(nvTree_, FilterKind::Nv);
}

void FilterSet::loadCatalogueFile(FilterTable& table, const std::string& path, LineKind kind,
                                  const FilterReporter& reporter) {
    table.loadCatalogueFile(path, kind, categoryLoadStart_, reporter);
}

void FilterSet::pruneAll() {
    for (FilterTable* t : {&logTable_, &eventTable_, &messageTable_, &nvTable_}) {
        while (t->pruneEmptyCategories()) {
        }
    }
}

void FilterSet::resetAll() {
    for (FilterTable* t : {&nvTable_, &logTable_, &messageTable_, &eventTable_}) t->resetTree();
}

}  // namespace kvx::filters
