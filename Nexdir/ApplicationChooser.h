#pragma once

#include "Actions.h"

#include <QDialog>

#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace quelmo {

// "Open With › Other…": the installed applications, with their icons, those that declare the
// file's type first, narrowed by a filter as the user types. Main thread.
class ApplicationChooser : public QDialog {
    Q_OBJECT
public:
    ApplicationChooser(const QString& fileName, std::vector<Actions::Application> applications,
                       QWidget* parent = nullptr);

    // The chosen application's desktop id; empty until one is chosen.
    QString chosenID() const;

    QLineEdit* filterField() const { return filter_; }
    QListWidget* list() const { return list_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyFilter(const QString& text);

    QLineEdit* filter_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* empty_ = nullptr; // says why the list is empty
};

} // namespace quelmo
