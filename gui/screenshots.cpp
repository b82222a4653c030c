// kvxlogplus-screenshots: renders the windows of kvxlogplus into PNG files, for the
// documentation. Run on any Qt platform (scripts/screenshots uses the offscreen one) with the
// sample settings named by $KVXLOGPLUS_SETTINGS; the Info Box is filled by a short capture
// from the simulated modem.
//
// Usage: kvxlogplus-screenshots <output folder>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <cstdio>
#include <filesystem>

#include "FilterTreeView.h"
#include "InfoBox.h"
#include "MainWindow.h"
#include "MemDebugDialog.h"
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
    const QString outFolder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outFolder);
    auto quiet = [](const std::string& text) { std::fprintf(stderr, "box: %s\n", text.c_str()); };
    bool ok = true;

    {
        MainWindow narrow({""});
        narrow.setMessageSink(quiet);
        narrow.show();
        ok &= save(narrow, outFolder, "main-narrow.png");
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
        ok &= save(full, outFolder, "main-full.png");
        full.findChild<QPushButton*>(QString::number(ctl::kShowInfo))->click();
        ok &= save(full.infoBox(), outFolder, "infobox.png");
        full.dialog().OnStop();
    }
    sim.stop();

    // The memory-dump tool after dumping the simulated modem in download mode (the
    // instructions come from KvxMemDebug.txt in the current folder).
    {
        kvx::modemsim::SimModemConfig dl;
        dl.linkPath = (work / "dload0").string();
        dl.download.on = true;
        const char* names[][2] = {{"APPS_RAM", "apps_ram.bin"}, {"MODEM_SW", "modem_sw.bin"},
                                  {"SMEM", "smem.bin"}};
        uint32_t base = 0x80000000u;
        for (const auto& n : names) {
            kvx::modemsim::SimRegion r;
            r.base = base;
            r.description = n[0];
            r.fileName = n[1];
            r.bytes.assign(96 * 1024, 0x5A);
            dl.download.regions.push_back(r);
            base += 0x00100000u;
        }
        kvx::modemsim::SimModem dumpSim(dl);
        if (dumpSim.start().error != kvx::modemsim::StartError::None) return 1;
        kvx::gui::MemDebugDialog tool;
        tool.setMessageSink(quiet);
        const auto out = work / "dump";
        std::filesystem::create_directories(out);
        tool.logic().setClientSetup([&](kvx::memdump::MemDebugClient& c) { c.setOutputFolder(out); });
        tool.show();
        namespace dlg = kvx::memdump::dlg;
        tool.findChild<QCheckBox*>(QString::number(dlg::kSpecifyPort))->click();
        tool.findChild<QLineEdit*>(QString::number(dlg::kPortEdit))
            ->setText(QString::fromStdString(dl.linkPath));
        tool.findChild<QPushButton*>(QString::number(dlg::kStart))->click();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000 && tool.logic().running()) pump(100);
        pump(300);
        ok &= save(tool, outFolder, "memdebug.png");
        dumpSim.stop();
    }
    std::filesystem::remove_all(work, ec);
    return ok ? 0 : 1;
}
