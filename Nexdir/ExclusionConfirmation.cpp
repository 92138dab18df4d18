#include "ExclusionConfirmation.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace quelmo {

bool confirmExclusionChange(const QString& question, const QString& detail) {
    // Named for screen readers (and the accessibility tests): the alert and both buttons.
    QMessageBox box(QMessageBox::Question, "Change Excluded Folders", question,
                    QMessageBox::Ok | QMessageBox::Cancel);
    box.setInformativeText(detail);
    box.setAccessibleName("Change Excluded Folders");
    box.setAccessibleDescription(question);
    box.button(QMessageBox::Ok)->setAccessibleName("OK");
    box.button(QMessageBox::Cancel)->setAccessibleName("Cancel");
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    // Opened from the tray, with no window of ours in front.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    return box.exec() == QMessageBox::Ok;
}

} // namespace quelmo
