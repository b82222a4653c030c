// The desktop window on the offscreen platform: its two widths, the port combo, a capture from
// the simulated modem found through a fake sysfs tree (Return starts, the status line and the
// Info Box follow the stream, Start New, Stop, Escape while logging), tree clicks through the
// view, Load Filters and Export.
#include <QComboBox>
#include <QLineEdit>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "FilterTreeView.h"
#include "InfoBox.h"
#include "MainWindow.h"
#include "app/LogFile.h"
#include "app/Settings.h"
#include "app/TempDir.h"
#include "dm/Frame.h"
#include "info/InfoDecoder.h"
#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"

using kvx::gui::MainWindow;
using kvx::testing::TempDir;
namespace ctl = kvx::capture::ctl;
namespace gid = kvx::gui::id;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kStreamCode = 0x1234;  // the log item the filter file enables

// A filter file that turns on log item 0x1234 (equipment 1 of the simulated modem's profile).
void writeFilterFile(const fs::path& path) {
    const uint32_t limit = 0x0A00;
    std::vector<uint8_t> p = {0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(limit >> (8 * i)));
    std::vector<uint8_t> mask((limit + 7) / 8, 0);
    const uint16_t item = kStreamCode & 0x0FFF;
    mask[item / 8] |= static_cast<uint8_t>(1u << (item % 8));
    p.insert(p.end(), mask.begin(), mask.end());
    const auto frame = kvx::dm::buildFrame(p);
    std::ofstream out(path, std::ios::binary);
    out.put(0x76).put(0x00).put(0x01);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A settings file in `dir` naming the sample catalogue of the source tree, plus `extra` lines.
std::string writeSettings(const fs::path& dir, const std::string& extra) {
    std::error_code ec;
    fs::create_directory_symlink(fs::path(KVX_SOURCE_DIR) / "data" / "catalogue",
                                 dir / "catalogue", ec);
    std::string text = readText(fs::path(KVX_SOURCE_DIR) / "data" / "kvxlogplus.ini");
    // The sample's own user values are replaced by the test's.
    for (const char* name : {"Filter=", "LogPath=", "Device=", "Port="}) {
        const size_t at = text.find(std::string("\n") + name);
        if (at != std::string::npos) text.erase(at + 1, text.find('\n', at + 1) - at);
    }
    text += "\n" + extra + "\n";
    const fs::path path = dir / "kvxlogplus.ini";
    std::ofstream(path) << text;
    return path.string();
}

template <class W = QWidget>
W* child(QWidget& w, int id) {
    return w.findChild<W*>(QString::number(id));
}

// Every node below `node` (not itself).
std::vector<kvx::filters::NodeId> descendants(const kvx::filters::TreeModel& tree,
                                              kvx::filters::NodeId node) {
    std::vector<kvx::filters::NodeId> out;
    for (auto c = tree.firstChild(node); c != kvx::filters::kNoNode; c = tree.nextSibling(c)) {
        out.push_back(c);
        auto more = descendants(tree, c);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<kvx::testing::ScopedChdir> cd_;
    std::vector<std::string> boxes_;

    std::unique_ptr<MainWindow> makeWindow(const std::string& commandLine,
                                           const std::string& settings) {
        auto w = std::make_unique<MainWindow>(MainWindow::Options{commandLine, true, settings});
        w->setMessageSink([this](const std::string& text) { boxes_.push_back(text); });
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) return nullptr;
        return w;
    }

    // A simulated modem that appears in the fake sysfs tree as the maker's DM port.
    std::unique_ptr<kvx::modemsim::SimModem> startModem(kvx::modemsim::FakeSysfs& sysfs) {
        kvx::modemsim::SimModem::Config cfg;
        cfg.packetsPerSecond = 200;
        cfg.sysfs.tree = &sysfs;
        cfg.sysfs.port.tty = "ttyUSB7";
        cfg.sysfs.port.manufacturer = "Orvanta Wireless";
        cfg.sysfs.port.product = "KVX-210";
        auto sim = std::make_unique<kvx::modemsim::SimModem>(cfg);
        if (sim->start().error != kvx::modemsim::StartError::None) return nullptr;
        return sim;
    }

  private slots:
    void init() {
        dir_ = std::make_unique<TempDir>();
        cd_ = std::make_unique<kvx::testing::ScopedChdir>(dir_->path());
        boxes_.clear();
        const fs::path sys = dir_->path() / "sys";
        fs::create_directories(sys);
        fs::create_directories(dir_->path() / "dev");
        setenv("KVXLOG_SYSFS_ROOT", sys.c_str(), 1);
        setenv("KVXLOG_DEV_ROOT", (dir_->path() / "dev").c_str(), 1);
    }

    void cleanup() {
        unsetenv("KVXLOG_SYSFS_ROOT");
        unsetenv("KVXLOG_DEV_ROOT");
        cd_.reset();
        dir_.reset();
    }

    void startUp_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("full");
        QTest::newRow("narrow") << "" << false;
        QTest::newRow("full") << "-DOG 5 -KVX" << true;
        QTest::newRow("option must match case") << "-kvx" << false;
    }

    void startUp() {
        QFETCH(QString, commandLine);
        QFETCH(bool, full);
        auto w = makeWindow(commandLine.toStdString(), "");
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), QString("KvxLog Plus"));
        QCOMPARE(w->statusText(), QString("Ready"));
        QVERIFY(child<QLineEdit>(*w, gid::kVersion)->text().startsWith("KvxLog Plus - Version "));
        QWidget* sourceGroup = child(*w, gid::kFilterSourceGroup);
        // Narrow: the window ends 8 pixels left of the "Filter Source" group.
        QCOMPARE(w->width() > sourceGroup->x() + sourceGroup->width(), full);
        if (!full) QCOMPARE(w->width(), sourceGroup->x() - 8);
        QCOMPARE(child(*w, ctl::kSourceFile)->isEnabled(), full);
        QCOMPARE(child(*w, ctl::kSourceGui)->isEnabled(), full);
        QVERIFY(child<QRadioButton>(*w, ctl::kSourceFile)->isChecked());
        QVERIFY(!child(*w, ctl::kStop)->isEnabled());
        QVERIFY(!child(*w, ctl::kShowInfo)->isEnabled());
        QVERIFY(!child(*w, gid::kShowCdma)->isEnabled());
        QVERIFY(!child(*w, gid::kSaveFilters)->isEnabled());
        QVERIFY(!child(*w, gid::kLogTree)->isEnabled());
        QCOMPARE(child<QLineEdit>(*w, ctl::kLimit)->text(), QString("20"));
        QVERIFY(child<QRadioButton>(*w, ctl::kUnitMb)->isChecked());
        auto* combo = child<QComboBox>(*w, ctl::kPortCombo);
        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->currentText(), QString("Custom Port..."));
        // The log tree is the one shown; its button is the disabled one.
        QVERIFY(!child(*w, gid::kLogItemMask)->isEnabled());
        QVERIFY(child(*w, gid::kEventMask)->isEnabled());
        QCOMPARE(w->dialog().watchdogSeconds(), full ? 5 : 10);
        // Tab reaches only what the window shows.
        for (QWidget* c : w->findChildren<QWidget*>()) {
            if (c->focusPolicy() & Qt::TabFocus) {
                QVERIFY2(c->mapTo(w.get(), QPoint(0, 0)).x() < w->width(),
                         qPrintable(c->objectName()));
            }
        }
    }

    void portComboSelectsTheCustomEdit() {
        kvx::modemsim::FakeSysfs sysfs((dir_->path() / "sys").string(),
                                       (dir_->path() / "dev").string());
        auto sim = startModem(sysfs);
        QVERIFY(sim);
        auto w = makeWindow("", writeSettings(dir_->path(), "Device=0\nPort=12"));
        QVERIFY(w);
        auto* combo = child<QComboBox>(*w, ctl::kPortCombo);
        QCOMPARE(combo->count(), 2);
        QVERIFY(combo->itemText(1).startsWith("Detected: "));
        QVERIFY(combo->itemText(1).endsWith("ttyUSB7"));
        QCOMPARE(combo->currentIndex(), 0);  // the settings name the custom port
        QCOMPARE(child<QLineEdit>(*w, ctl::kCustomPort)->text(), QString("12"));
        QVERIFY(child(*w, ctl::kCustomPort)->isEnabled());

        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
        QCOMPARE(combo->currentIndex(), 1);
        QVERIFY(!child(*w, ctl::kCustomPort)->isEnabled());
        QCOMPARE(w->dialog().device(), kvx::app::kDeviceDetected);
        QTest::keyClick(combo, Qt::Key_Up);
        QVERIFY(child(*w, ctl::kCustomPort)->isEnabled());
        QCOMPARE(w->dialog().device(), kvx::app::kDeviceCustom);
    }

    // Start with Return against the detected modem, watch the status line and the Info Box,
    // Start New, Stop.
    void captureFromTheDetectedModem() {
        kvx::modemsim::FakeSysfs sysfs((dir_->path() / "sys").string(),
                                       (dir_->path() / "dev").string());
        auto sim = startModem(sysfs);
        QVERIFY(sim);
        const fs::path filter = dir_->path() / "f.sqf";
        writeFilterFile(filter);
        const std::string logDir = (dir_->path() / "logs").string();
        fs::create_directories(logDir);
        auto w = makeWindow("", writeSettings(dir_->path(), "Device=1\nFilter=" + filter.string() +
                                                                "\nLogPath=" + logDir + "/"));
        QVERIFY(w);
        auto* combo = child<QComboBox>(*w, ctl::kPortCombo);
        QCOMPARE(combo->currentIndex(), 1);  // Device=1 and the modem is there
        QVERIFY(!child(*w, ctl::kCustomPort)->isEnabled());

        QTest::keyClick(w.get(), Qt::Key_Return);
        QCOMPARE(w->dialog().state(), kvx::app::UiState::Logging);
        QCOMPARE(child<QPushButton>(*w, ctl::kStart)->text(), QString("Start New"));
        QVERIFY(child(*w, ctl::kShowInfo)->isEnabled());
        QVERIFY(!child(*w, ctl::kExit)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(w->dialog().flags().loggingActive.load(), 5000);

        // The status line counts the packets: two readings, the second higher.
        auto packets = [&] {
            const QString s = w->statusText();
            const int at = s.indexOf("Packets: ");
            return at < 0 ? -1 : s.mid(at + 9).section(',', 0, 0).toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(packets() > 0, 5000);
        const int first = packets();
        QTRY_VERIFY_WITH_TIMEOUT(packets() > first, 5000);

        // The status requests' replies reach the Info Box (hidden or not).
        auto& box = w->infoBox();
        QTRY_VERIFY_WITH_TIMEOUT(!box.field(kvx::info::kImei).isEmpty(), 8000);
        QTRY_VERIFY_WITH_TIMEOUT(!box.field(kvx::info::kReceivedPower).isEmpty(), 8000);
        QCOMPARE(box.field(kvx::info::kSystemMode), QString("GSM"));
        QVERIFY(!box.field(kvx::info::kFirmware).isEmpty());
        QVERIFY(!box.isVisible());
        QTest::mouseClick(child<QPushButton>(*w, ctl::kShowInfo), Qt::LeftButton);
        QVERIFY(box.isVisible());

        // Start New: a second file.
        const std::string firstFile = w->dialog().currentLogFile();
        QVERIFY(!firstFile.empty());
        QCOMPARE(child<QLineEdit>(*w, ctl::kLogPath)->text().toStdString(), firstFile);
        QTest::qWait(1100);  // file names have whole seconds
        QTest::mouseClick(child<QPushButton>(*w, ctl::kStart), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w->dialog().flags().loggingActive.load() &&
                                     w->dialog().currentLogFile() != firstFile,
                                 5000);
        QTest::qWait(300);

        QTest::mouseClick(child<QPushButton>(*w, ctl::kStop), Qt::LeftButton);
        QCOMPARE(w->dialog().state(), kvx::app::UiState::Idle);
        QCOMPARE(w->statusText(), QString("Ready"));
        QCOMPARE(child<QPushButton>(*w, ctl::kStart)->text(), QString("Start"));
        QCOMPARE(child<QLineEdit>(*w, ctl::kLogPath)->text().toStdString(), logDir + "/");
        QVERIFY(!child(*w, ctl::kShowInfo)->isEnabled());
        QVERIFY(box.isVisible());  // an open box stays open

        const auto files = kvx::testing::logFiles(logDir);
        QCOMPARE(files.size(), size_t(2));
        const auto a = kvx::testing::readLog(files[0]);
        const auto b = kvx::testing::readLog(files[1]);
        QVERIFY(a.readable && b.readable);
        QVERIFY(a.records.front().text().find("KvxLog Plus - Version") != std::string::npos);
        QCOMPARE(a.records.back().text(), std::string("Log manually restarted from UI"));
        QCOMPARE(b.records.back().text(), std::string("Log manually stopped from UI"));
        QVERIFY(!kvx::testing::sequences(a, kStreamCode).empty());
        QVERIFY(boxes_.empty());
    }

    void escapeWhileLoggingStopsSavesAndCloses() {
        kvx::modemsim::FakeSysfs sysfs((dir_->path() / "sys").string(),
                                       (dir_->path() / "dev").string());
        auto sim = startModem(sysfs);
        QVERIFY(sim);
        const fs::path filter = dir_->path() / "f.sqf";
        writeFilterFile(filter);
        const std::string logDir = (dir_->path() / "logs").string();
        fs::create_directories(logDir);
        const std::string settings = writeSettings(
            dir_->path(), "Device=1\nPort=3\nFilter=" + filter.string() + "\nLogPath=/nowhere/");
        auto w = makeWindow("", settings);
        QVERIFY(w);
        // A file stem inside the folder: saved as the folder.
        child<QLineEdit>(*w, ctl::kLogPath)->setText(QString::fromStdString(logDir + "/run"));
        int closed = 0;
        w->setClosedHandler([&] { ++closed; });

        QTest::keyClick(w.get(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(w->dialog().flags().loggingActive.load(), 5000);
        QTest::qWait(500);
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QVERIFY(w->ended());
        QCOMPARE(closed, 1);
        QVERIFY(!w->isVisible());
        QCOMPARE(w->dialog().state(), kvx::app::UiState::Idle);

        const auto file = kvx::app::SettingsFile::open(settings);
        QVERIFY(file.has_value());
        QCOMPARE(file->readString("LogPath").value_or(""), logDir + "/");
        QCOMPARE(file->readString("Filter").value_or(""), filter.string());
        QCOMPARE(file->readNumber("Device").value_or(-1), 1);
        QCOMPARE(file->readNumber("Port").value_or(-1), 3);
        const auto files = kvx::testing::logFiles(logDir);
        QCOMPARE(files.size(), size_t(1));
        QCOMPARE(kvx::testing::readLog(files[0]).records.back().text(),
                 std::string("Log manually stopped from UI"));
    }

    void noModemReturnsToIdleWithTheMessage() {
        auto w = makeWindow("", "");
        QVERIFY(w);
        child<QLineEdit>(*w, ctl::kCustomPort)->setText((dir_->path() / "absent").c_str());
        QTest::mouseClick(child<QPushButton>(*w, ctl::kStart), Qt::LeftButton);
        QCOMPARE(boxes_, std::vector<std::string>{"Could not communicate with the modem"});
        QCOMPARE(w->dialog().state(), kvx::app::UiState::Idle);
        QVERIFY(child(*w, ctl::kStart)->isEnabled());
        QVERIFY(!child(*w, ctl::kStop)->isEnabled());
    }

    // A conversion that ends by itself brings the window back to Idle at once: the worker's
    // end wakes the exit watch instead of leaving it to the timer's next second.
    void finishedConversionReturnsToIdleAtOnce() {
        auto w = makeWindow("-KVX", "");
        QVERIFY(w);
        const fs::path raw = dir_->path() / "empty.raw";
        { std::ofstream(raw, std::ios::binary); }
        child<QCheckBox>(*w, ctl::kRawFileBox)->setChecked(true);
        child<QLineEdit>(*w, ctl::kRawFilePath)->setText(raw.c_str());
        child<QLineEdit>(*w, ctl::kLogPath)->setText((dir_->path() / "conv-").c_str());
        QTest::mouseClick(child<QPushButton>(*w, ctl::kStart), Qt::LeftButton);
        // The exit-watch timer alone would take a second.
        QTRY_VERIFY_WITH_TIMEOUT(w->dialog().state() == kvx::app::UiState::Idle, 800);
        QCOMPARE(w->dialog().workerExitCode(), 0);
        QVERIFY(boxes_.empty());
    }

    void treeClickThroughTheView() {
        auto w = makeWindow("-KVX", writeSettings(dir_->path(), ""));
        QVERIFY(w);
        QTest::mouseClick(child<QRadioButton>(*w, ctl::kSourceGui), Qt::LeftButton);
        QVERIFY(child(*w, gid::kLogTree)->isEnabled());
        QVERIFY(child(*w, gid::kSaveFilters)->isEnabled());
        auto* view = w->tree(gid::kLogTree);
        auto* model = view->filterModel();
        auto& table = model->table();
        QVERIFY(model->rowCount() > 1);
        const QModelIndex top = model->index(0, 0);
        const auto node = model->nodeOf(top);
        const auto below = descendants(*table.tree(), node);
        QVERIFY(!below.empty());
        using kvx::filters::CheckState;

        struct Step {
            bool onImage;
            CheckState expected;
        };
        // On the label nothing changes; on the image it toggles, the subtree following.
        for (const Step& step : {Step{false, CheckState::Unchecked}, Step{true, CheckState::Checked},
                                 Step{false, CheckState::Checked},
                                 Step{true, CheckState::Unchecked}}) {
            const QRect image = view->checkImageRect(top);
            QVERIFY(!image.isEmpty());
            const QRect item = view->visualRect(top);
            const QPoint at = step.onImage ? image.center() : QPoint(item.right() - 4, item.center().y());
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
            QCOMPARE(table.stateOf(node), step.expected);
            for (auto n : below) QCOMPARE(table.stateOf(n), step.expected);
        }

        // One child checked: its category is partial.
        view->expand(top);
        const QModelIndex firstChild = model->index(0, 0, top);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                          view->checkImageRect(firstChild).center());
        QCOMPARE(table.stateOf(model->nodeOf(firstChild)), CheckState::Checked);
        QCOMPARE(table.stateOf(node), CheckState::Partial);
        // The view shows what the table holds.
        QCOMPARE(top.data(Qt::DecorationRole).value<QPixmap>().toImage(),
                 kvx::gui::checkImage(2).toImage());

        // The mask buttons switch the trees.
        QTest::mouseClick(child<QPushButton>(*w, gid::kNvItems), Qt::LeftButton);
        QVERIFY(w->tree(gid::kNvTree)->isVisible());
        QVERIFY(!view->isVisible());
        QVERIFY(!child(*w, gid::kNvItems)->isEnabled());
        QVERIFY(child(*w, gid::kLogItemMask)->isEnabled());
    }

    void loadFiltersAndExport_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("ticks");
        QTest::addColumn<QString>("message");
        QTest::newRow("dmc") << "qx.dmc"
                             << "<QXDM><LoggingView><LogCodes>0xB821,</LogCodes>"
                                "<EventIDs>257,</EventIDs></LoggingView></QXDM>"
                             << true << "";
        QTest::newRow("not a QXDM file")
            << "old.dmc" << "<LoggingView><LogCodes>0xB821,</LogCodes></LoggingView>" << false
            << "The Qualcomm filter you have selected cannot be interpreted.\r\nPlease re-save "
               "the filter with a newer version of QXDM (v03.11.01 or above), and reload.";
        QTest::newRow("bad sqf header") << "x.sqf" << "v\x01" << false
                                        << "This tool is incompatable with the selected filter "
                                           "version.";
    }

    void loadFiltersAndExport() {
        QFETCH(QString, name);
        QFETCH(QString, content);
        QFETCH(bool, ticks);
        QFETCH(QString, message);
        auto w = makeWindow("-KVX", writeSettings(dir_->path(), ""));
        QVERIFY(w);
        const fs::path path = dir_->path() / name.toStdString();
        std::ofstream(path, std::ios::binary) << content.toStdString();
        const fs::path exported = dir_->path() / "export.txt";
        std::vector<kvx::gui::FileRequest> asked;
        w->setFileChooser([&](const kvx::gui::FileRequest& r) -> std::optional<QString> {
            asked.push_back(r);
            return QString::fromStdString((r.save ? exported : path).string());
        });
        QTest::mouseClick(child<QRadioButton>(*w, ctl::kSourceGui), Qt::LeftButton);
        // Something ticked before: a load starts from nothing ticked.
        auto* view = w->tree(gid::kLogTree);
        auto& logs = view->filterModel()->table();
        logs.click(view->filterModel()->nodeOf(view->filterModel()->index(1, 0)), true);

        QTest::mouseClick(child<QPushButton>(*w, gid::kLoadFilters), Qt::LeftButton);
        QCOMPARE(asked.size(), size_t(1));
        QCOMPARE(asked[0].defaultSuffix, QString("sqf"));
        QCOMPARE(asked[0].filters.size(), 2);
        if (message.isEmpty()) {
            QVERIFY(boxes_.empty());
        } else {
            QCOMPARE(boxes_, std::vector<std::string>{message.toStdString()});
        }
        int checked = 0;
        for (const auto& slot : logs.entries()) {
            const auto state = logs.stateOf(slot.node);
            if (state == kvx::filters::CheckState::Checked) {
                ++checked;
                QCOMPARE(slot.entry.id, 0xB821);
            }
        }
        QCOMPARE(checked > 0, ticks);
        QCOMPARE(w->dialog().filters().eventTable().collectChecked().size(), size_t(ticks ? 1 : 0));

        QTest::mouseClick(child<QPushButton>(*w, gid::kExport), Qt::LeftButton);
        QCOMPARE(asked.size(), size_t(2));
        QVERIFY(asked[1].save && !asked[1].confirmOverwrite);
        const std::string text = readText(exported);
        QVERIFY(fs::exists(exported));
        QCOMPARE(text.find("[0xB821] NR5G RRC OTA Packet") != std::string::npos, ticks);
        QCOMPARE(text.find("[00257] EVENT_CDMA_CH_CHANGE") != std::string::npos, ticks);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
