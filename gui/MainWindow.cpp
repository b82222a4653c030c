#include "MainWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>

#include "FilterTreeView.h"
#include "GuiQueue.h"
#include "InfoBox.h"
#include "app/Settings.h"
#include "app/SettingsSetup.h"
#include "app/WindowSettings.h"
#include "filters/FilterActions.h"

namespace kvx::gui {

namespace ctl = capture::ctl;

namespace {

constexpr const char* kCaption = "KvxLog Plus";

// The tree of each showTree index, and the button that shows it.
constexpr std::array<int, 4> kTreeIds = {id::kEventTree, id::kLogTree, id::kMessageTree,
                                         id::kNvTree};
constexpr std::array<int, 4> kTreeButtons = {id::kEventMask, id::kLogItemMask, id::kMessageMask,
                                             id::kNvItems};

// Dialog units of the window's font: a quarter of the average character width across, an
// eighth of the character height down, as the dialog template is measured.
struct Units {
    double x = 1.5;
    double y = 1.625;
    int px(int dluX) const { return static_cast<int>(dluX * x + 0.5); }
    int py(int dluY) const { return static_cast<int>(dluY * y + 0.5); }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(px(left), py(top), px(width), py(height));
    }
};

Units unitsOf(const QFont& font) {
    const QFontMetrics fm(font);
    const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const double average = (fm.horizontalAdvance(letters) / 26.0 + 1.0) / 2.0;
    return Units{average / 4.0, fm.height() / 8.0};
}

QIcon programIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x4e, 0x8c));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF trace[] = {{4, 18}, {9, 18}, {12, 8}, {16, 26}, {20, 12}, {23, 18}, {28, 18}};
    p.drawPolyline(trace, 7);
    return QIcon(pixmap);
}

}  // namespace

// ---- construction ----------------------------------------------------------------------------

MainWindow::MainWindow(Options options)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      options_(std::move(options)),
      guiThread_(std::this_thread::get_id()) {
    settingsPath_ = options_.settingsPath ? *options_.settingsPath : app::settingsPath();
    full_ = app::fullWindowOption(options_.commandLine);
    setObjectName("102");
    setWindowTitle(kCaption);
    setWindowIcon(programIcon());
    QApplication::setOverrideCursor(Qt::WaitCursor);

    queue_ = std::make_unique<GuiQueue>(this);
    engine_ = std::make_unique<dm::KvxLog>();
    buildControls();
    infoBox_ = std::make_unique<InfoBox>();
    infoBox_->setWindowIcon(windowIcon());
    dialog_ = std::make_unique<app::MainDialog>(*this, *engine_, options_.commandLine);

    setText(id::kVersion, app::versionText(dialog_->version()));
    if (full_) {
        enable(ctl::kSourceFile, true);
        enable(ctl::kSourceGui, true);
    }

    dialog_->setInfoSink([this](const dm::InfoNotification& note) {
        infoBox_->setField(note.field, note.text);
    });
    dialog_->setStateObserver([this](app::UiState state) { onStateChanged(state); });
    dialog_->setMemoryDumpHook([this] {
        if (memoryDump_) {
            memoryDump_->show();
            memoryDump_->raise();
        }
    });
    dialog_->setSettingsSaver([this] { SaveSettings(); });

    dialog_->OnInitDialog(options_.detectPorts);
    fillPortCombo();
    LoadSettings();

    for (size_t i = 0; i < trees_.size(); ++i) {
        filters::FilterSet& set = dialog_->filters();
        filters::FilterTable* tables[] = {&set.eventTable(), &set.logTable(), &set.messageTable(),
                                          &set.nvTable()};
        models_[i] = new FilterItemModel(*tables[i], this);
        trees_[i]->setFilterModel(models_[i]);
        const int treeId = kTreeIds[i];
        trees_[i]->setClickHandler([this, treeId](filters::NodeId node, bool onImage) {
            onTreeClick(treeId, node, onImage);
        });
    }
    showTree(1);
    wireHandlers();
    QApplication::restoreOverrideCursor();
}

MainWindow::~MainWindow() {
    // Stops a capture still running and joins its threads while every control still exists.
    dialog_.reset();
    for (auto& [id, timer] : timers_) timer->stop();
}

void MainWindow::buildControls() {
    const Units u = unitsOf(font());
    auto place = [&](QWidget* w, int ctlId, QRect dlu) {
        w->setGeometry(u.rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
        if (ctlId != 0) {
            w->setObjectName(QString::number(ctlId));
            controls_[ctlId] = w;
        }
        return w;
    };
    auto group = [&](int ctlId, const char* text, QRect dlu) {
        place(new QGroupBox(text, this), ctlId, dlu);
    };
    auto edit = [&](int ctlId, QRect dlu) {
        auto* e = new QLineEdit(this);
        place(e, ctlId, dlu);
        connect(e, &QLineEdit::textChanged, this,
                [this, ctlId](const QString& t) { remember(ctlId, t.toStdString()); });
        return e;
    };
    auto pushButton = [&](int ctlId, const char* text, QRect dlu) {
        auto* b = new QPushButton(text, this);
        b->setAutoDefault(false);
        place(b, ctlId, dlu);
        return b;
    };
    auto checkable = [&](QAbstractButton* b, int ctlId, QRect dlu) {
        place(b, ctlId, dlu);
        connect(b, &QAbstractButton::toggled, this,
                [this, ctlId](bool on) { rememberCheck(ctlId, on); });
        return b;
    };
    // Radio buttons of one parent are one set unless grouped, as the dialog's groups do.
    auto radioGroup = [&](std::initializer_list<int> ids) {
        auto* set = new QButtonGroup(this);
        for (int member : ids) set->addButton(button(member));
    };
    auto label = [&](const char* text, int ctlId, QRect dlu) {
        place(new QLabel(text, this), ctlId, dlu);
    };

    // Group boxes first: the controls made after them lie on top.
    group(0, "Port Selection", {7, 18, 188, 50});
    group(0, "Select Filter File", {7, 72, 188, 34});
    group(0, "Select Output Log File", {7, 110, 188, 34});
    group(0, "Multiple Log Files", {7, 148, 188, 74});
    group(0, "General Info", {7, 226, 188, 54});
    group(id::kFilterSourceGroup, "Filter Source", {210, 18, 142, 62});
    group(0, "Tools", {361, 17, 162, 63});

    edit(id::kVersion, {7, 3, 188, 13})->setReadOnly(true);

    auto* combo = new QComboBox(this);
    place(combo, ctl::kPortCombo, {14, 30, 174, 14});
    connect(combo, &QComboBox::currentTextChanged, this,
            [this](const QString& t) { remember(ctl::kPortCombo, t.toStdString()); });
    label("Custom Port Number:", 0, {14, 50, 86, 10});
    edit(ctl::kCustomPort, {102, 48, 86, 13});

    edit(ctl::kFilterPath, {14, 86, 150, 13});
    pushButton(ctl::kBrowseFilter, "...", {168, 86, 20, 13});
    edit(ctl::kLogPath, {14, 124, 150, 13});
    pushButton(ctl::kBrowseLog, "...", {168, 124, 20, 13});

    checkable(new QCheckBox("Use Multiple Log Files", this), ctl::kMultipleFiles,
              {14, 161, 170, 10});
    label("File Size [MB or Minutes] :", 1022, {14, 181, 110, 10});
    edit(ctl::kLimit, {128, 179, 40, 13});
    checkable(new QRadioButton("MB", this), ctl::kUnitMb, {30, 201, 50, 10});
    checkable(new QRadioButton("Minutes", this), ctl::kUnitMinutes, {100, 201, 60, 10});
    radioGroup({ctl::kUnitMb, ctl::kUnitMinutes});

    pushButton(ctl::kShowInfo, "Show GSM/WCDMA Info", {14, 239, 174, 14});
    pushButton(id::kShowCdma, "Show CDMA/EVDO Info", {14, 258, 174, 14})->setEnabled(false);

    QPushButton* start = pushButton(ctl::kStart, "Start", {7, 285, 58, 14});
    start->setAutoDefault(true);
    start->setDefault(true);
    pushButton(ctl::kStop, "Stop", {72, 285, 58, 14});
    pushButton(ctl::kExit, "Exit", {137, 285, 58, 14});

    // The filter panel and the tools.
    checkable(new QRadioButton("Send Filters from Input File", this), ctl::kSourceFile,
              {217, 30, 132, 10})
        ->setEnabled(false);
    checkable(new QRadioButton("Send Filters from GUI", this), ctl::kSourceGui,
              {217, 43, 132, 10})
        ->setEnabled(false);
    radioGroup({ctl::kSourceFile, ctl::kSourceGui});
    pushButton(id::kSaveFilters, "Save Filters...", {217, 60, 62, 14})->setEnabled(false);
    pushButton(id::kLoadFilters, "Load Filters...", {284, 60, 62, 14})->setEnabled(false);

    checkable(new QCheckBox("Log from a Raw DM File", this), ctl::kRawFileBox, {368, 29, 150, 10});
    edit(ctl::kRawFilePath, {368, 42, 126, 13});
    pushButton(id::kRawBrowse, "...", {497, 42, 20, 13});
    pushButton(id::kMemDebug, "Run KvxMemDebug...", {368, 60, 90, 14})->setEnabled(false);

    pushButton(id::kLogItemMask, "Log Item Mask", {210, 89, 58, 13});
    pushButton(id::kEventMask, "Event Mask", {273, 89, 58, 13});
    pushButton(id::kMessageMask, "Message Mask", {336, 89, 58, 13});
    pushButton(id::kNvItems, "NV Items", {399, 89, 58, 13});
    pushButton(id::kExport, "Export...", {465, 89, 58, 13});
    for (size_t i = 0; i < trees_.size(); ++i) {
        trees_[i] = new FilterTreeView(this);
        place(trees_[i], kTreeIds[i], {210, 103, 313, 196});
        trees_[i]->setEnabled(false);
    }

    statusBar_ = new QStatusBar(this);
    statusBar_->setSizeGripEnabled(false);
    statusPane_ = new QLabel(statusBar_);
    statusPane_->setObjectName("statusPane");
    statusBar_->addWidget(statusPane_, 1);
    const int statusHeight = statusBar_->sizeHint().height();
    const int clientHeight = u.py(305);
    // Narrow window: the right edge 8 pixels left of the "Filter Source" group.
    const int width = full_ ? u.px(529) : controls_[id::kFilterSourceGroup]->x() - 8;
    if (!full_) {
        // The controls beyond the narrow window's edge stay where no key can reach them either:
        // Tab must not tick the raw-file box or press Export unseen.
        for (QWidget* w : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (w->x() >= width) w->setFocusPolicy(Qt::NoFocus);
        }
    }
    statusBar_->setGeometry(0, clientHeight, width, statusHeight);
    setFixedSize(width, clientHeight + statusHeight);
}

void MainWindow::wireHandlers() {
    auto onClick = [this](int ctlId, auto handler) {
        connect(button(ctlId), &QAbstractButton::clicked, this, handler);
    };
    onClick(ctl::kStart, [this] { dialog_->OnStart(); });
    onClick(ctl::kStop, [this] { dialog_->OnStop(); });
    onClick(ctl::kExit, [this] { dialog_->OnExit(); });
    onClick(ctl::kBrowseFilter, [this] { OnBrowseFilter(); });
    onClick(ctl::kBrowseLog, [this] { OnBrowseLog(); });
    onClick(ctl::kMultipleFiles, [this] { dialog_->OnMultipleFilesClicked(); });
    auto source = [this] {
        dialog_->OnFilterSourceClicked();
        updateSaveFilters();
    };
    onClick(ctl::kSourceFile, source);
    onClick(ctl::kSourceGui, source);
    onClick(id::kSaveFilters, [this] { OnSaveFilters(); });
    onClick(id::kLoadFilters, [this] { OnLoadFilters(); });
    onClick(id::kExport, [this] { OnExport(); });
    for (size_t i = 0; i < kTreeButtons.size(); ++i) {
        onClick(kTreeButtons[i], [this, i] { showTree(static_cast<int>(i)); });
    }
    onClick(ctl::kShowInfo, [this] {
        infoBox_->show();
        infoBox_->raise();
    });
    onClick(id::kRawBrowse, [this] { OnBrowseRaw(); });
    onClick(id::kMemDebug, [this] {
        if (memoryDump_) {
            memoryDump_->show();
            memoryDump_->raise();
        }
    });
    auto* combo = static_cast<QComboBox*>(control(ctl::kPortCombo));
    connect(combo, &QComboBox::activated, this, [this] { dialog_->OnPortSelectionChanged(); });
}

void MainWindow::fillPortCombo() {
    auto* combo = static_cast<QComboBox*>(control(ctl::kPortCombo));
    const auto& rows = dialog_->portRows();
    combo->clear();
    combo->addItem(QString::fromStdString(rows[0].label));
    if (rows[1].present) combo->addItem(QString::fromStdString(rows[1].label));
    combo->setCurrentIndex(0);
}

void MainWindow::setMemoryDumpWindow(QWidget* window) {
    memoryDump_ = window;
    if (window != nullptr) window->setWindowIcon(windowIcon());
    enable(id::kMemDebug, window != nullptr);
}

// ---- capture::Window -------------------------------------------------------------------------

void MainWindow::post(std::function<void()> call) {
    queue_->post(std::move(call));
}

QWidget* MainWindow::control(int ctlId) const {
    auto it = controls_.find(ctlId);
    return it == controls_.end() ? nullptr : it->second;
}

QAbstractButton* MainWindow::button(int ctlId) const {
    return qobject_cast<QAbstractButton*>(control(ctlId));
}

FilterTreeView* MainWindow::tree(int treeId) const {
    for (size_t i = 0; i < kTreeIds.size(); ++i) {
        if (kTreeIds[i] == treeId) return trees_[i];
    }
    return nullptr;
}

void MainWindow::remember(int ctlId, const std::string& text) {
    std::lock_guard lock(mirrorMutex_);
    textMirror_[ctlId] = text;
}

void MainWindow::rememberCheck(int ctlId, bool checked) {
    std::lock_guard lock(mirrorMutex_);
    checkMirror_[ctlId] = checked;
}

bool MainWindow::isChecked(int ctlId) {
    if (!onGuiThread()) {
        std::lock_guard lock(mirrorMutex_);
        auto it = checkMirror_.find(ctlId);
        return it != checkMirror_.end() && it->second;
    }
    QAbstractButton* b = button(ctlId);
    return b != nullptr && b->isChecked();
}

void MainWindow::setChecked(int ctlId, bool checked) {
    if (!onGuiThread()) {
        post([this, ctlId, checked] { setChecked(ctlId, checked); });
        return;
    }
    QAbstractButton* b = button(ctlId);
    if (b == nullptr || b->isChecked() == checked) return;
    if (!checked && b->group() != nullptr && b->group()->exclusive()) {
        // A radio button of an exclusive set cannot be cleared by itself.
        b->group()->setExclusive(false);
        b->setChecked(false);
        b->group()->setExclusive(true);
        return;
    }
    b->setChecked(checked);
}

std::string MainWindow::getText(int ctlId) {
    if (!onGuiThread()) {
        std::lock_guard lock(mirrorMutex_);
        auto it = textMirror_.find(ctlId);
        return it == textMirror_.end() ? std::string() : it->second;
    }
    QWidget* w = control(ctlId);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
    return {};
}

void MainWindow::setText(int ctlId, const std::string& text) {
    if (!onGuiThread()) {
        post([this, ctlId, text] { setText(ctlId, text); });
        return;
    }
    QWidget* w = control(ctlId);
    const QString t = QString::fromStdString(text);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(t);
        e->setCursorPosition(0);  // the start of a long path is the part that tells most
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
        int row = c->findText(t);
        if (row < 0) {
            c->addItem(t);
            row = c->count() - 1;
        }
        c->setCurrentIndex(row);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(t);
    }
}

void MainWindow::enable(int ctlId, bool on) {
    if (!onGuiThread()) {
        post([this, ctlId, on] { enable(ctlId, on); });
        return;
    }
    if (ctlId == id::kShowCdma) on = false;  // there is no CDMA/EVDO panel
    if (ctlId == id::kMemDebug && !memoryDump_) on = false;
    if (QWidget* w = control(ctlId)) w->setEnabled(on);
}

void MainWindow::setStatus(const std::string& text) {
    if (!onGuiThread()) {
        post([this, text] { setStatus(text); });
        return;
    }
    statusPane_->setText(QString::fromStdString(text));
}

QString MainWindow::statusText() const {
    return statusPane_->text();
}

void MainWindow::messageBox(const std::string& text) {
    if (!onGuiThread()) {
        post([this, text] { messageBox(text); });
        return;
    }
    if (messageSink_) {
        messageSink_(text);
        return;
    }
    QString shown = QString::fromStdString(text).trimmed();
    shown.replace("\r\n", "\n");
    // Opened, not executed: a box never holds up the caller (Start's failure path goes on to
    // Stop at once) and no handler runs inside another one's message loop.
    auto* box = new QMessageBox(QMessageBox::NoIcon, kCaption, shown, QMessageBox::Ok,
                                isVisible() ? this : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

void MainWindow::startTimer(int timerId, int periodMs) {
    if (!onGuiThread()) {
        post([this, timerId, periodMs] { startTimer(timerId, periodMs); });
        return;
    }
    QTimer*& timer = timers_[timerId];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, timerId] {
            if (!ended_) dialog_->OnTimer(timerId);
        });
    }
    timer->start(periodMs > 0 ? periodMs : 1);
}

void MainWindow::stopTimer(int timerId) {
    if (!onGuiThread()) {
        post([this, timerId] { stopTimer(timerId); });
        return;
    }
    auto it = timers_.find(timerId);
    if (it != timers_.end()) it->second->stop();
}

void MainWindow::fireTimerSoon(int timerId) {
    // Queued even on the GUI thread, so the handler never runs inside the caller.
    post([this, timerId] {
        if (!ended_ && timerActive(timerId)) dialog_->OnTimer(timerId);
    });
}

bool MainWindow::timerActive(int timerId) const {
    auto it = timers_.find(timerId);
    return it != timers_.end() && it->second->isActive();
}

void MainWindow::close() {
    if (!onGuiThread()) {
        post([this] { close(); });
        return;
    }
    if (ended_) return;
    ended_ = true;
    for (auto& [timerId, timer] : timers_) timer->stop();
    infoBox_->hide();
    if (memoryDump_) memoryDump_->hide();
    hide();
    if (closedHandler_) closedHandler_();
}

void MainWindow::notify(uint32_t messageId, const dm::InfoNotification& note) {
    if (messageId != dm::kInfoMessage) return;
    // Fields are refreshed every two seconds anyway: while the window lags far behind, newer
    // fields are dropped rather than queued without bound.
    constexpr int kMaxQueued = 4096;
    if (queuedNotes_.fetch_add(1) >= kMaxQueued) {
        queuedNotes_.fetch_sub(1);
        return;
    }
    post([this, note] {
        queuedNotes_.fetch_sub(1);
        if (!ended_) dialog_->OnEngineNotify(note);
    });
}

// ---- dialog commands -------------------------------------------------------------------------

void MainWindow::reject() {
    if (!ended_) dialog_->OnExit();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (ended_) {
        event->accept();
        return;
    }
    event->ignore();
    dialog_->OnExit();
}

void MainWindow::onStateChanged(app::UiState) {
    updateSaveFilters();
}

void MainWindow::updateSaveFilters() {
    // Saving connects the engine itself: never while a capture holds it.
    enable(id::kSaveFilters,
           isChecked(ctl::kSourceGui) && dialog_ && dialog_->state() == app::UiState::Idle);
}

// ---- settings --------------------------------------------------------------------------------

void MainWindow::LoadSettings() {
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    if (!app::loadWindowSettings(settingsPath_, *dialog_, *this, reporter) &&
        !settingsPath_.empty()) {
        // The program never creates it; the user learns which command does.
        std::fprintf(stderr, "%s\n", app::missingSettingsText(settingsPath_).c_str());
    }
}

void MainWindow::SaveSettings() {
    app::saveWindowSettings(settingsPath_, *dialog_, *this);
}

// ---- files -----------------------------------------------------------------------------------

std::optional<QString> MainWindow::chooseFile(const FileRequest& request) {
    if (chooser_) return chooser_(request);
    QFileDialog dialog(this);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(request.filters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    if (request.fileName.endsWith('/')) {
        dialog.setDirectory(request.fileName);
    } else if (!request.fileName.isEmpty()) {
        dialog.selectFile(request.fileName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void MainWindow::OnBrowseLog() {
    FileRequest r;
    r.save = true;
    r.fileName = "KvxLog";
    r.defaultSuffix = "kvx";
    r.filters = {"Log Files: (*.kvx)", "All Files: (*)"};
    r.confirmOverwrite = true;
    if (auto path = chooseFile(r)) setText(ctl::kLogPath, path->toStdString());
}

void MainWindow::OnBrowseFilter() {
    // Opens in the folder of the current filter file, else in the current folder.
    const std::string text = getText(ctl::kFilterPath);
    const size_t slash = text.rfind('/');
    FileRequest r;
    r.fileName = slash == std::string::npos ? QDir::currentPath() + "/"
                                            : QString::fromStdString(text.substr(0, slash + 1));
    r.defaultSuffix = "sqf";
    r.filters = {"Filter Files: (*.sqf)", "All Files: (*)"};
    if (auto path = chooseFile(r)) setText(ctl::kFilterPath, path->toStdString());
}

void MainWindow::OnBrowseRaw() {
    FileRequest r;
    r.filters = {"All Files: (*)"};
    if (auto path = chooseFile(r)) setText(ctl::kRawFilePath, path->toStdString());
}

void MainWindow::OnSaveFilters() {
    if (dialog_->state() != app::UiState::Idle) return;
    FileRequest r;
    r.save = true;
    r.fileName = "KvxLogPlus_filter";
    r.defaultSuffix = "sqf";
    r.filters = {"Filter Files: (*.sqf)"};
    r.confirmOverwrite = true;
    const auto path = chooseFile(r);
    if (!path) return;
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    reporter.status = [this](const std::string& text) { setStatus(text); };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    filters::saveFilters(path->toStdString(), *engine_, dialog_->filters(), dialog_->readDevice(),
                         getText(ctl::kCustomPort), reporter);
    QApplication::restoreOverrideCursor();
}

void MainWindow::OnLoadFilters() {
    FileRequest r;
    r.fileName = "KvxLogPlus_filter";
    r.defaultSuffix = "sqf";
    r.filters = {"KVX Filter Files: (*.sqf)", "Qualcomm Filter Files: (*.dmc)"};
    const auto path = chooseFile(r);
    if (!path) return;
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    filters::loadFilters(path->toStdString(), dialog_->filters(), reporter);
    refreshTrees();
    QApplication::restoreOverrideCursor();
}

void MainWindow::OnExport() {
    FileRequest r;
    r.save = true;
    r.fileName = "";
    r.defaultSuffix = "txt";
    r.filters = {"Text Files: (*.txt)", "All Files: (*)"};
    r.confirmOverwrite = false;
    if (auto path = chooseFile(r)) {
        // A file the disk did not take whole must not pass for an export.
        if (!filters::exportFilters(path->toStdString(), dialog_->filters()))
            messageBox("Could not write " + path->toStdString());
    }
}

// ---- trees -----------------------------------------------------------------------------------

void MainWindow::showTree(int index) {
    for (FilterTreeView* t : trees_) t->hide();
    for (int b : kTreeButtons) enable(b, true);
    if (index < 0 || index >= static_cast<int>(trees_.size())) return;
    trees_[static_cast<size_t>(index)]->show();
    enable(kTreeButtons[static_cast<size_t>(index)], false);
}

void MainWindow::onTreeClick(int treeId, filters::NodeId node, bool onCheckImage) {
    FilterTreeView* view = tree(treeId);
    if (view == nullptr || view->filterModel() == nullptr) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    view->filterModel()->table().click(node, onCheckImage);
    view->filterModel()->refresh();
    QApplication::restoreOverrideCursor();
}

void MainWindow::refreshTrees() {
    for (FilterItemModel* m : models_) m->refresh();
}

}  // namespace kvx::gui
