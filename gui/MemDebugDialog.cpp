#include "MemDebugDialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "GuiQueue.h"

namespace kvx::gui {

namespace dlg = memdump::dlg;

namespace {
// The dialog's texts come with Windows line ends; Qt shows a bare newline as one line break.
QString shown(const std::string& text) {
    QString t = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    t.replace("\r\n", "\n");
    return t;
}
}  // namespace

MemDebugDialog::MemDebugDialog(std::unique_ptr<memdump::CompanionApps> apps, QWidget* parent)
    : QDialog(parent) {
    setObjectName("142");
    setWindowTitle(memdump::kDialogTitle);
    queue_ = std::make_unique<GuiQueue>(this);
    auto named = [this](QWidget* w, int id) {
        w->setObjectName(QString::number(id));
        controls_[id] = w;
        return w;
    };

    auto* instructions = new QPlainTextEdit(this);
    instructions->setReadOnly(true);
    instructions->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    instructions->setMinimumHeight(120);
    named(instructions, dlg::kInstructions);
    auto* instructionsGroup = new QGroupBox("Instructions", this);
    (new QVBoxLayout(instructionsGroup))->addWidget(instructions);

    auto* configGroup = new QGroupBox("Configuration", this);
    auto* config = new QGridLayout(configGroup);
    auto* specify = new QCheckBox("Specify Port Number", this);
    named(specify, dlg::kSpecifyPort);
    auto* port = new QLineEdit(this);
    named(port, dlg::kPortEdit);
    auto* autoNote = new QLabel(
        "NOTE: Application will Auto-detect the port unless \"Specify Port Number\" is checked.",
        this);
    autoNote->setWordWrap(true);
    auto* reset = new QPushButton("Reset", this);
    reset->setAutoDefault(false);
    named(reset, dlg::kReset);
    auto* resetNote = new QLabel("NOTE: Do not reset the device until the log is complete. ", this);
    resetNote->setWordWrap(true);
    config->addWidget(specify, 0, 0);
    config->addWidget(port, 0, 1);
    config->addWidget(autoNote, 1, 0, 1, 2);
    config->addWidget(reset, 2, 0);
    config->addWidget(resetNote, 2, 1);

    auto* progressGroup = new QGroupBox("Progress", this);
    auto* progress = new QVBoxLayout(progressGroup);
    auto* state = new QLabel(this);
    named(state, dlg::kStateText);
    auto* counter = new QLabel(this);
    named(counter, dlg::kProgressText);
    auto* regions = new QLabel(this);
    regions->setWordWrap(true);
    regions->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    regions->setTextInteractionFlags(Qt::TextSelectableByMouse);
    named(regions, dlg::kRegionText);
    auto* regionScroll = new QScrollArea(this);
    regionScroll->setWidget(regions);
    regionScroll->setWidgetResizable(true);
    regionScroll->setFrameShape(QFrame::NoFrame);
    regionScroll->setMinimumHeight(110);
    progress->addWidget(state);
    progress->addWidget(counter);
    progress->addWidget(regionScroll, 1);

    auto* start = new QPushButton("Start", this);
    start->setDefault(true);
    named(start, dlg::kStart);
    auto* exit = new QPushButton("Exit", this);
    exit->setAutoDefault(false);
    named(exit, dlg::kExit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(start);
    buttons->addWidget(exit);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(instructionsGroup, 1);
    layout->addWidget(configGroup);
    layout->addWidget(progressGroup, 1);
    layout->addLayout(buttons);
    resize(540, 540);

    if (!apps) apps = memdump::systemCompanionApps();
    logic_ = std::make_unique<memdump::MemDebugDialogLogic>(*this, std::move(apps));
    connect(specify, &QCheckBox::clicked, this, [this] { logic_->onSpecifyPortClicked(); });
    connect(start, &QPushButton::clicked, this, [this] { logic_->onStart(); });
    connect(exit, &QPushButton::clicked, this, [this] { logic_->onExit(); });
    connect(reset, &QPushButton::clicked, this, [this] { logic_->onReset(); });
    logic_->init();
}

MemDebugDialog::~MemDebugDialog() {
    logic_.reset();  // aborts and joins a dump still running while the controls exist
}

QWidget* MemDebugDialog::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void MemDebugDialog::setText(int id, const std::string& text) {
    if (!queue_->onGuiThread()) {
        queue_->post([this, id, text] { setText(id, text); });
        return;
    }
    QWidget* w = control(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(shown(text));
    } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
        p->setPlainText(shown(text));
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setText(shown(text));
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(shown(text));
    }
}

std::string MemDebugDialog::getText(int id) {
    QWidget* w = control(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText().toStdString();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
    return {};
}

bool MemDebugDialog::isChecked(int id) {
    auto* b = qobject_cast<QAbstractButton*>(control(id));
    return b != nullptr && b->isChecked();
}

void MemDebugDialog::enable(int id, bool on) {
    if (!queue_->onGuiThread()) {
        queue_->post([this, id, on] { enable(id, on); });
        return;
    }
    if (QWidget* w = control(id)) w->setEnabled(on);
}

void MemDebugDialog::messageBox(const std::string& text) {
    if (!queue_->onGuiThread()) {
        queue_->post([this, text] { messageBox(text); });
        return;
    }
    if (messageSink_) {
        messageSink_(text);
        return;
    }
    // Opened, not executed: the worker that asked goes on at once.
    auto* box = new QMessageBox(QMessageBox::NoIcon, memdump::kDialogTitle, shown(text),
                                QMessageBox::Ok, isVisible() ? this : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

bool MemDebugDialog::askYesNo(const std::string& text) {
    if (questionAnswer_) return questionAnswer_(text);
    return QMessageBox::question(this, memdump::kDialogTitle, shown(text),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MemDebugDialog::hide() {
    QDialog::hide();
}

void MemDebugDialog::reject() {
    logic_->onExit();
}

void MemDebugDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    logic_->onExit();
}

}  // namespace kvx::gui
