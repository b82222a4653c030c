// The Info Box: a modeless window of the modem's identity and GSM/WCDMA radio values, one
// read-only field per decoded value (indexes 0-16), each keeping its last text. OK and Cancel
// only hide it. The fields carry their control ids as object names.
// Threads: the window's thread.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <array>
#include <string>

namespace kvx::gui {

class InfoBox : public QDialog {
  public:
    static constexpr int kFields = 17;
    // Control id of each field index.
    static constexpr std::array<int, kFields> kFieldIds = {
        1040, 1064, 1041, 1043, 1044, 1048, 1056, 1057, 1058,
        1062, 1050, 1052, 1054, 1068, 1070, 1072, 1080};

    explicit InfoBox(QWidget* parent = nullptr);
    // Index outside 0-16: ignored.
    void setField(int index, const std::string& text);
    QString field(int index) const;

  private:
    std::array<QLineEdit*, kFields> edits_{};
};

}  // namespace kvx::gui
