// Desktop window figures, on the offscreen platform unless another is chosen: start-up to a
// shown window with the sample settings' catalogue loaded (target: under 0.5 s), and a click
// on the check image of the root of a 7000-item log tree, hit-test, table work and repaint of
// the view included (target: under 20 ms). Reported as medians.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QMouseEvent>
#include <QRadioButton>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "FilterTreeView.h"
#include "MainWindow.h"

namespace {

namespace fs = std::filesystem;
using kvx::gui::MainWindow;

struct Folder {
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "kvxguibench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) dir = tmpl;
        fs::create_directories(dir / "sys");  // no real port is looked at
        setenv("KVXLOG_SYSFS_ROOT", (dir / "sys").c_str(), 1);
        fs::copy(fs::path(KVX_SOURCE_DIR) / "data", dir / "sample", fs::copy_options::recursive);

        // 7000 log items under 1000 categories, three deep, below one root.
        fs::create_directories(dir / "big");
        std::ofstream c(dir / "big" / "cat.txt");
        c << "1^\"All log items\"^x^0\n";
        for (int id = 2; id <= 1000; ++id) {
            const int parent = id <= 10 ? 1 : (id <= 100 ? 2 + id % 9 : 11 + id % 90);
            c << id << "^\"Category " << id << "\"^x^" << parent << "\n";
        }
        std::ofstream i(dir / "big" / "items.txt");
        std::mt19937 rng(1);
        for (int k = 0; k < 7000; ++k) {
            i << "0x" << std::hex << (0x1000 + k) << std::dec << "^\"Log item " << k << "\"^\""
              << 101 + rng() % 900 << "\"^x\n";
        }
        std::ofstream((dir / "big" / "kvxlogplus.ini"))
            << "[KvxLogPlus]\nLOGCAT=cat.txt\nLOGS=items.txt\n";
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
};

const Folder& folder() {
    static Folder f;
    return f;
}

bool showAndWait(QWidget& w) {
    w.show();
    for (int i = 0; i < 1000 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QApplication::processEvents();
    return w.windowHandle() && w.windowHandle()->isExposed();
}

void BM_StartUpToShownWindow(benchmark::State& state) {
    const std::string settings = (folder().dir / "sample" / "kvxlogplus.ini").string();
    for (auto _ : state) {
        MainWindow w({"-KVX", true, settings});
        if (!showAndWait(w)) state.SkipWithError("window not shown");
        state.PauseTiming();
        if (w.dialog().filters().logTable().entryCount() == 0) state.SkipWithError("no catalogue");
        w.hide();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartUpToShownWindow)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_RootClickWithRepaint(benchmark::State& state) {
    MainWindow w({"-KVX", false, (folder().dir / "big" / "kvxlogplus.ini").string()});
    if (!showAndWait(w)) state.SkipWithError("window not shown");
    w.findChild<QRadioButton*>(QString::number(kvx::capture::ctl::kSourceGui))->click();
    kvx::gui::FilterTreeView* view = w.tree(kvx::gui::id::kLogTree);
    auto* model = view->filterModel();
    if (model->table().entryCount() != 7000) state.SkipWithError("table not full");
    view->expandToDepth(1);  // a screen full of rows to repaint
    QApplication::processEvents();
    const QModelIndex root = model->index(0, 0);
    const QPointF at = view->checkImageRect(root).center();
    for (auto _ : state) {
        QMouseEvent press(QEvent::MouseButtonPress, at, view->viewport()->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, view->viewport()->mapToGlobal(at),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &press);
        QApplication::sendEvent(view->viewport(), &release);
        view->viewport()->repaint();
        benchmark::DoNotOptimize(model->table().stateOf(model->nodeOf(root)));
    }
}
BENCHMARK(BM_RootClickWithRepaint)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    folder();  // removed at exit
    return 0;
}
