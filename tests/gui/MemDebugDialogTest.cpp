// The "KvxMemDebug Tool" window on the offscreen platform: a dump of the simulated modem in
// download mode driven through the window's controls, and its opening from the main window.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "MainWindow.h"
#include "MemDebugDialog.h"
#include "app/TempDir.h"
#include "modemsim/SimModem.h"

using kvx::gui::MainWindow;
using kvx::gui::MemDebugDialog;
namespace dlg = kvx::memdump::dlg;
namespace fs = std::filesystem;

namespace {

class NoApps : public kvx::memdump::CompanionApps {
  public:
    bool isRunning(const std::string&) override { return false; }
    void askToClose(const std::string&) override {}
};

template <class W = QWidget>
W* child(QWidget& w, int id) {
    return w.findChild<W*>(QString::number(id));
}

std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

class MemDebugDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<kvx::testing::TempDir> dir_;
    std::unique_ptr<kvx::testing::ScopedChdir> cd_;

  private slots:
    void init() {
        dir_ = std::make_unique<kvx::testing::TempDir>();
        cd_ = std::make_unique<kvx::testing::ScopedChdir>(dir_->path());
    }
    void cleanup() {
        cd_.reset();
        dir_.reset();
    }

    void dumpsTheSimulatedModem() {
        std::ofstream("KvxMemDebug.txt") << "Leave the modem in download mode.\nPress Start.\n";
        kvx::modemsim::SimModemConfig cfg;
        cfg.linkPath = (dir_->path() / "dload0").string();
        cfg.download.on = true;
        for (int i = 0; i < 3; ++i) {
            kvx::modemsim::SimRegion r;
            r.base = 0x1000u * static_cast<uint32_t>(i + 1);
            r.description = "REGION" + std::to_string(i);
            r.fileName = "region" + std::to_string(i) + ".bin";
            r.bytes.resize(3000 + 1000 * static_cast<size_t>(i));
            for (size_t k = 0; k < r.bytes.size(); ++k) {
                r.bytes[k] = static_cast<uint8_t>(k % 3 == 0 ? 0x7E : k * 7 + static_cast<size_t>(i));
            }
            cfg.download.regions.push_back(r);
        }
        const auto regions = cfg.download.regions;
        kvx::modemsim::SimModem sim(cfg);
        QVERIFY(sim.start().error == kvx::modemsim::StartError::None);

        fs::create_directories(dir_->path() / "out");
        MemDebugDialog dialog(std::make_unique<NoApps>());
        dialog.logic().setClientSetup(
            [&](kvx::memdump::MemDebugClient& c) { c.setOutputFolder(dir_->path() / "out"); });
        std::vector<std::string> boxes;
        dialog.setMessageSink([&](const std::string& t) { boxes.push_back(t); });
        QCOMPARE(dialog.windowTitle(), QString("KvxMemDebug Tool"));
        QCOMPARE(child<QPlainTextEdit>(dialog, dlg::kInstructions)->toPlainText(),
                 QString("Leave the modem in download mode.\nPress Start.\n"));
        QCOMPARE(child<QLabel>(dialog, dlg::kStateText)->text(), QString("State"));
        auto* port = child<QLineEdit>(dialog, dlg::kPortEdit);
        QCOMPARE(port->text(), QString("AutoDetect"));
        QVERIFY(!port->isEnabled());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        QTest::mouseClick(child<QCheckBox>(dialog, dlg::kSpecifyPort), Qt::LeftButton);
        QVERIFY(port->isEnabled());
        QCOMPARE(port->text(), QString());
        QTest::keyClicks(port, QString::fromStdString(cfg.linkPath));
        QTest::mouseClick(child<QPushButton>(dialog, dlg::kStart), Qt::LeftButton);
        QVERIFY(dialog.logic().running());
        QTRY_VERIFY(!child(dialog, dlg::kReset)->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dialog, dlg::kStateText)->text(),
                                  QString("Finished"), 20000);
        QVERIFY(dialog.logic().waitForWorker(std::chrono::seconds(5)));
        QCOMPARE(child<QLabel>(dialog, dlg::kProgressText)->text(), QString("100%"));
        QTRY_VERIFY(child(dialog, dlg::kReset)->isEnabled());
        const QString listed = child<QLabel>(dialog, dlg::kRegionText)->text();
        QCOMPARE(listed.count("[Base:"), 3);
        QVERIFY(listed.startsWith("1.REGION0\n[Base:4096, Length:3000]\n"));
        for (const auto& r : regions) QCOMPARE(readFile(dir_->path() / "out" / r.fileName), r.bytes);
        QVERIFY(boxes.empty());

        // Exit while idle only hides; the texts stay.
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(child<QLabel>(dialog, dlg::kStateText)->text(), QString("Finished"));
    }

    void exitDuringADumpAsksFirst() {
        kvx::modemsim::SimModemConfig cfg;
        cfg.linkPath = (dir_->path() / "dload0").string();
        cfg.download.on = true;
        kvx::modemsim::SimRegion big;
        big.description = "BIG";
        big.fileName = "big.bin";
        big.bytes.assign(4 * 1024 * 1024, 0x7E);
        cfg.download.regions.push_back(big);
        kvx::modemsim::SimModem sim(cfg);
        QVERIFY(sim.start().error == kvx::modemsim::StartError::None);

        MemDebugDialog dialog(std::make_unique<NoApps>());
        dialog.logic().setClientSetup(
            [&](kvx::memdump::MemDebugClient& c) { c.setOutputFolder(dir_->path()); });
        std::vector<std::string> questions;
        bool answer = false;
        dialog.setQuestionAnswer([&](const std::string& q) {
            questions.push_back(q);
            return answer;
        });
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::mouseClick(child<QCheckBox>(dialog, dlg::kSpecifyPort), Qt::LeftButton);
        QTest::keyClicks(child<QLineEdit>(dialog, dlg::kPortEdit),
                         QString::fromStdString(cfg.linkPath));
        QTest::mouseClick(child<QPushButton>(dialog, dlg::kStart), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dialog, dlg::kStateText)->text(),
                                  QString("Reading memory..."), 10000);

        QTest::mouseClick(child<QPushButton>(dialog, dlg::kExit), Qt::LeftButton);  // No
        QCOMPARE(questions.size(), size_t(1));
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.logic().running());
        answer = true;
        dialog.close();  // the close box: Yes
        QCOMPARE(questions.size(), size_t(2));
        QVERIFY(!dialog.isVisible());
        QVERIFY(dialog.logic().waitForWorker(std::chrono::seconds(5)));
        QVERIFY(dialog.logic().lastResult() == 0);
    }

    void openedByTheMainWindow() {
        fs::create_directories(dir_->path() / "sys");
        setenv("KVXLOG_SYSFS_ROOT", (dir_->path() / "sys").c_str(), 1);
        MainWindow w({"-KVX", true, ""});
        std::vector<std::string> boxes;
        w.setMessageSink([&](const std::string& t) { boxes.push_back(t); });
        QVERIFY(!child(w, kvx::gui::id::kMemDebug)->isEnabled());  // no tool yet
        MemDebugDialog dialog(std::make_unique<NoApps>());
        w.setMemoryDumpWindow(&dialog);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::mouseClick(child<QPushButton>(w, kvx::gui::id::kMemDebug), Qt::LeftButton);
        QVERIFY(dialog.isVisible());
        dialog.hide();

        // A Start that cannot reach the modem after a subsystem-0 reply brings the tool up.
        child<QLineEdit>(w, kvx::capture::ctl::kCustomPort)->setText((dir_->path() / "none").c_str());
        QTest::mouseClick(child<QPushButton>(w, kvx::capture::ctl::kStart), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        w.dialog().flags().memoryDebugSeen.store(true);
        QTest::mouseClick(child<QPushButton>(w, kvx::capture::ctl::kStart), Qt::LeftButton);
        QVERIFY(dialog.isVisible());
        QCOMPARE(boxes.size(), size_t(2));
        QCOMPARE(boxes[1], std::string("Could not communicate with the modem"));
        unsetenv("KVXLOG_SYSFS_ROOT");
    }
};

QTEST_MAIN(MemDebugDialogTest)
#include "MemDebugDialogTest.moc"
