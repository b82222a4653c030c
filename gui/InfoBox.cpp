#include "InfoBox.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "info/InfoDecoder.h"

namespace kvx::gui {

InfoBox::InfoBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Info Box");
    setObjectName("134");

    for (int i = 0; i < kFields; ++i) {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(true);
        edit->setObjectName(QString::number(kFieldIds[static_cast<size_t>(i)]));
        edit->setMinimumWidth(210);
        edits_[static_cast<size_t>(i)] = edit;
    }
    auto label = [](int i) { return QString::fromStdString(std::string(info::fieldLabel(i))); };

    auto* top = new QFormLayout;
    top->addRow(label(0), edits_[0]);
    top->addRow(label(1), edits_[1]);

    auto* group = new QGroupBox("GSM/WCDMA Information", this);
    auto* form = new QFormLayout(group);
    for (int i = 2; i < kFields; ++i) form->addRow(label(i), edits_[static_cast<size_t>(i)]);

    auto* note = new QLabel(
        "* Log Items 0x5072, 0x5138 and 0x5139 must be enabled for some data to be displayed.",
        this);
    note->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    ok->setObjectName("1");
    cancel->setObjectName("2");
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(group);
    layout->addWidget(note);
    layout->addWidget(buttons);
}

void InfoBox::setField(int index, const std::string& text) {
    if (index < 0 || index >= kFields) return;
    // Modem texts are 8-bit data, shown byte for byte.
    edits_[static_cast<size_t>(index)]->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

QString InfoBox::field(int index) const {
    if (index < 0 || index >= kFields) return {};
    return edits_[static_cast<size_t>(index)]->text();
}

}  // namespace kvx::gui
