// Filter catalogue figures: loading a full table (7000 items under 1000 categories, filed
// children first so that the re-parenting passes move every category), a click on the root
// category of that table, and collecting 7000 checked items. Reported as medians.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "filters/FilterSet.h"

namespace {

namespace fs = std::filesystem;
using namespace kvx::filters;

struct CatalogueFiles {
    CatalogueFiles() {
        std::string tmpl = (fs::temp_directory_path() / "kvxbench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) dir = tmpl;
        // Category 1 is the root; 1..9 its groups; the rest spread below them, three deep.
        // Written in reverse, so each category comes before its parent.
        std::vector<std::string> lines;
        lines.push_back("1^\"All log items\"^x^0");
        for (int id = 2; id <= 1000; ++id) {
            const int parent = id <= 10 ? 1 : (id <= 100 ? 2 + id % 9 : 11 + id % 90);
            lines.push_back(std::to_string(id) + "^\"Category " + std::to_string(id) + "\"^x^" +
                            std::to_string(parent));
        }
        std::ofstream c(dir / "cat.txt");
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) c << *it << "\n";
        std::ofstream i(dir / "items.txt");
        std::mt19937 rng(1);
        for (int k = 0; k < 7000; ++k) {
            i << "0x" << std::hex << (0x1000 + k) << std::dec << "^\"Log item " << k << "\"^\""
              << 101 + rng() % 900 << "\"^x\n";
        }
    }
    ~CatalogueFiles() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void load(FilterSet& set) const {
        set.loadCatalogueFile(set.logTable(), (dir / "cat.txt").string(), LineKind::Category, {});
        set.loadCatalogueFile(set.logTable(), (dir / "items.txt").string(), LineKind::Log, {});
    }
    fs::path dir;
};

const CatalogueFiles& files() {
    static CatalogueFiles f;
    return f;
}

void BM_LoadFullTableWithReparenting(benchmark::State& state) {
    for (auto _ : state) {
        FilterSet set;
        files().load(set);
        benchmark::DoNotOptimize(set.logTable().entryCount());
        state.PauseTiming();
        if (set.logTable().entryCount() != 7000 || set.logTable().categoryCount() != 1000)
            state.SkipWithError("table not full");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadFullTableWithReparenting)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void BM_ClickRootCategory(benchmark::State& state) {
    FilterSet set;
    files().load(set);
    const NodeId root = set.logTree().firstChild(kNoNode);
    for (auto _ : state) {
        set.logTable().click(root, true);
        benchmark::DoNotOptimize(set.logTree().stateImage(root));
    }
}
BENCHMARK(BM_ClickRootCategory)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void BM_CollectChecked7000(benchmark::State& state) {
    FilterSet set;
    files().load(set);
    set.logTable().click(set.logTree().firstChild(kNoNode), true);
    for (auto _ : state) {
        auto checked = set.logTable().collectChecked();
        if (checked.size() != 7000) state.SkipWithError("not all checked");
        benchmark::DoNotOptimize(checked.data());
    }
}
BENCHMARK(BM_CollectChecked7000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
