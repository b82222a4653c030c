// Save Filters against the simulated modem over a pseudo-terminal, then Load Filters: with the
// sample catalogue fully checked, exactly the items the modem's ranges cover come back.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "FilterTestUtil.h"
#include "dm/KvxLog.h"
#include "filters/FilterActions.h"
#include "modemsim/SimModem.h"

namespace kvx::filters {
namespace {

// The sample catalogue in the order of the settings' catalogue sources.
void loadSampleCatalogue(FilterSet& set) {
    const std::string dir = std::string(KVX_SOURCE_DIR) + "/data/catalogue/";
    const struct {
        const char* file;
        FilterTable* table;
        LineKind kind;
    } sources[] = {
        {"kvx_msg_categories.txt", &set.messageTable(), LineKind::Category},
        {"kvx_messages.txt", &set.messageTable(), LineKind::Message},
        {"msg_categories.txt", &set.messageTable(), LineKind::Category},
        {"messages.txt", &set.messageTable(), LineKind::Message},
        {"event_categories.txt", &set.eventTable(), LineKind::Category},
        {"events.txt", &set.eventTable(), LineKind::Event},
        {"ota_log_categories.txt", &set.logTable(), LineKind::Category},
        {"ota_logs.txt", &set.logTable(), LineKind::Ota},
        {"log_categories.txt", &set.logTable(), LineKind::Category},
        {"logs.txt", &set.logTable(), LineKind::Log},
        {"kvx_log_categories.txt", &set.logTable(), LineKind::Category},
        {"kvx_logs.txt", &set.logTable(), LineKind::Log},
        {"nv_categories.txt", &set.nvTable(), LineKind::Category},
        {"nv_items.txt", &set.nvTable(), LineKind::Nv},
        {"kvx_nv_categories.txt", &set.nvTable(), LineKind::Category},
        {"kvx_nv_items.txt", &set.nvTable(), LineKind::Nv},
    };
    for (const auto& s : sources) set.loadCatalogueFile(*s.table, dir + s.file, s.kind, {});
    set.pruneAll();
}

using Items = std::set<std::pair<int32_t, int32_t>>;

Items checkedItems(const FilterTable& table) {
    Items out;
    for (const FilterEntry& e : table.collectChecked()) out.insert({e.id, e.sub});
    return out;
}

TEST(SimModemRoundTrip, SaveThenLoadKeepsWhatTheModemCovers) {
    modemsim::SimModem::Config config;
    modemsim::SimModem modem(config);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);
    const modemsim::ModemProfile& profile = config.profile;

    FilterSet set;
    loadSampleCatalogue(set);
    Items all[4];
    FilterTable* tables[4] = {&set.nvTable(), &set.logTable(), &set.eventTable(),
                              &set.messageTable()};
    for (int t = 0; t < 4; ++t) {
        for (const FilterSlot& s : tables[t]->entries()) {
            tables[t]->setStateById(s.entry.id, CheckState::Checked, s.entry.sub);
            all[t].insert({s.entry.id, s.entry.sub});
        }
        tables[t]->recomputeStates(kNoNode);
    }

    test::FilterTempDir dir;
    const std::string path = dir.file("sample.sqf");
    dm::KvxLog engine;
    std::vector<std::string> statuses, messages;
    FilterReporter reporter{[&](const std::string& m) { messages.push_back(m); },
                            [&](const std::string& s) { statuses.push_back(s); },
                            {}};
    // The custom port edit holds the terminal's path: the engine opens "\\.\COM" + path.
    ASSERT_TRUE(saveFilters(path, engine, set, 0, modem.path(), reporter)) << messages.size();
    EXPECT_EQ(statuses.back(), "Filter saved successfully");
    EXPECT_TRUE(messages.empty());

    set.resetAll();
    ASSERT_EQ(loadFilters(path, set, reporter), FilterFileResult::Read);

    auto covered = [&](int table, std::pair<int32_t, int32_t> item) {
        const auto [id, sub] = item;
        switch (table) {
            case 1: {  // log codes: equipment present and the item inside its mask bytes
                const uint32_t limit = profile.logLimits[static_cast<size_t>((id >> 12) & 0xF)];
                return limit > 0 && static_cast<uint32_t>(id & 0xFFF) / 8 < (limit + 7) / 8;
            }
            case 3:  // messages: SSID inside one of the modem's ranges
                for (const auto& r : profile.messageRanges)
                    if (id >= r.first && id <= r.last) return true;
                return false;
            default:
                return true;  // NV reads and the event mask carry every item
        }
    };
    size_t lost = 0;
    for (int t = 0; t < 4; ++t) {
        Items expected;
        for (const auto& item : all[t]) {
            if (covered(t, item))
                expected.insert(item);
            else
                ++lost;
        }
        EXPECT_EQ(checkedItems(*tables[t]), expected) << "table " << t;
    }
    // The sample lists items the modem cannot report (UMTS NAS logs, LTE and OEM SSIDs).
    EXPECT_GT(lost, 0u);
    modem.stop();
}

}  // namespace
}  // namespace kvx::filters
