// kvxlogplus-screenshots: renders the windows of kvxlogplus into PNG files, for the
// documentation. Run on any Qt platform (scripts/screenshots uses the offscreen one) with the
// sample settings named by $KVXLOGPLUS_SETTINGS; the Info Box is filled by a short capture
// from the simulated modem.
//
// Usage: kvxlogplus-screenshots <output folder>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTreeView>
#include <cstdio>
#include <filesystem>

#include "FilterTreeView.h"
#include "InfoBox.h"
#include "MainWindow.h"
#include "info/InfoDecoder.h"
#include "modemsim/SimModem.h"

namespace {

using kvx::gui::MainWindow;
namespace ctl = kvx::capture::ctl;

void pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget& w, const QString& folder, const char* name) {
    pump(100);
    const QString path = QDir(folder).filePath(name);
    const bool ok = w.grab().save(path, "PNG");
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write",
                 path.toLocal8Bit().constData());
    return ok;
}

// Ticks the first top-level node's first child category and opens a few categories.
void tickSome(MainWindow& w, int treeId, int expandTop) {
    kvx::gui::FilterTreeView* view = w.tree(treeId);
    auto* model = view->filterModel();
    for (int r = 0; r < expandTop && r < model->rowCount(); ++r) {
        view->expand(model->index(r, 0));
    }
    if (model->rowCount() == 0) return;
    const QModelIndex first = model->index(0, 0);
    if (model->rowCount(first) > 0) {
        w.onTreeClick(treeId, model->nodeOf(model->index(0, 0, first)), true);
    }
    if (model->rowCount(first) > 2) {
        const QModelIndex third = model->index(2, 0, first);
        view->expand(third);
        if (model->rowCount(third) > 0) {
            w.onTreeClick(treeId, model->nodeOf(model->index(0, 0, third)), true);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    auto quiet = [](const std::string& text) { std::fprintf(stderr, "box: %s\n", text.c_str()); };
    bool ok = true;

    {
        MainWindow narrow({""});
        narrow.setMessageSink(quiet);
        narrow.show();
        ok &= save(narrow, out, "main-narrow.png");
    }

    // The full window, logging from the simulated modem with a filter ticked in the trees.
    // A fixed, neutral folder: its name shows in the pictures.
    const std::filesystem::path work = "/tmp/kvxlogplus-demo";
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    std::filesystem::create_directories(work);
    kvx::modemsim::SimModem::Config cfg;
    cfg.linkPath = (work / "dm0").string();
    cfg.packetsPerSecond = 200;
    kvx::modemsim::SimModem sim(cfg);
    if (sim.start().error != kvx::modemsim::StartError::None) {
        std::fprintf(stderr, "the simulated modem did not start\n");
        return 1;
    }
    {
        MainWindow full({"-KVX"});
        full.setMessageSink(quiet);
        full.show();
        full.findChild<QAbstractButton*>(QString::number(ctl::kSourceGui))->click();
        tickSome(full, kvx::gui::id::kLogTree, 3);
        full.setText(ctl::kCustomPort, cfg.linkPath);
        full.setText(ctl::kLogPath, (work / "KvxLog.kvx").string());
        full.findChild<QPushButton*>(QString::number(ctl::kStart))->click();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && full.infoBox().field(kvx::info::kImei).isEmpty()) pump(100);
        pump(2500);
        ok &= save(full, out, "main-full.png");
        full.findChild<QPushButton*>(QString::number(ctl::kShowInfo))->click();
        ok &= save(full.infoBox(), out, "infobox.png");
        full.dialog().OnStop();
    }
    sim.stop();
    std::filesystem::remove_all(work, ec);
    return ok ? 0 : 1;
}
