#include "ExclusionsWindow.h"

#include "Format.h"
#include "PathText.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quelmo {

namespace {

// The folder's bytes ride along with its row: the text shown may not be them.
constexpr int pathRole = Qt::UserRole;

QString hiddenText(std::optional<int64_t> count) {
    if (!count) {
        return "not counted";
    }
    if (*count > ExclusionsWindow::countLimit) {
        return "more than " +
               QString::fromStdString(nexdir::groupedNumber(ExclusionsWindow::countLimit)) +
               " items";
    }
    return QString::fromStdString(nexdir::groupedNumber(*count)) +
           (*count == 1 ? " item" : " items");
}

} // namespace

ExclusionsWindow::ExclusionsWindow(Handlers handlers, QWidget* parent)
    : QWidget(parent, Qt::Window), handlers_(std::move(handlers)) {
    setWindowTitle("Excluded Folders");
    setAccessibleName("Excluded Folders");
    resize(640, 400);
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel("Quelmo leaves these folders and everything in them out of the "
                             "index. Built-in exclusions still apply.");
    intro->setWordWrap(true);
    layout->addWidget(intro);
    list_ = new QTreeWidget;
    list_->setColumnCount(2);
    list_->setHeaderLabels({"Folder", "Items left out"});
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setAccessibleName("Excluded folders");
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    list_->header()->setStretchLastSection(false);
    list_->setTextElideMode(Qt::ElideMiddle);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &ExclusionsWindow::updateButtons);
    layout->addWidget(list_, 1);
    note_ = new QLabel;
    note_->setWordWrap(true);
    layout->addWidget(note_);

    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton("Add Folder\u2026");
    connect(add, &QPushButton::clicked, this, &ExclusionsWindow::addFolders);
    remove_ = new QPushButton("Remove");
    connect(remove_, &QPushButton::clicked, this, &ExclusionsWindow::removeSelected);
    auto* cancel = new QPushButton("Cancel");
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    apply_ = new QPushButton("Apply");
    apply_->setDefault(true);
    connect(apply_, &QPushButton::clicked, this, [this] {
        handlers_.apply(listed());
        close();
    });
    buttons->addWidget(add);
    buttons->addWidget(remove_);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(apply_);
    layout->addLayout(buttons);
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this, &QWidget::close);
    updateButtons();
}

void ExclusionsWindow::load(std::vector<std::string> applied) {
    applied_ = std::move(applied);
    list_->clear();
    for (const std::string& folder : applied_) {
        addRow(folder);
    }
    updateButtons();
}

void ExclusionsWindow::setIndexIdle(bool idle) {
    indexIdle_ = idle;
    updateButtons();
}

std::vector<std::string> ExclusionsWindow::listed() const {
    std::vector<std::string> folders;
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        folders.push_back(
            list_->topLevelItem(row)->data(0, pathRole).toByteArray().toStdString());
    }
    return folders;
}

void ExclusionsWindow::addRow(const std::string& folder) {
    auto* row = new QTreeWidgetItem({displayedPath(folder), "counting\u2026"});
    row->setData(0, pathRole, QByteArray::fromStdString(folder));
    row->setToolTip(0, row->text(0));
    list_->addTopLevelItem(row);
    if (!handlers_.countHidden) {
        row->setText(1, hiddenText(std::nullopt));
        return;
    }
    // The row may be removed, or the window closed, before the count comes back.
    QPointer<QTreeWidget> list = list_;
    handlers_.countHidden(applied_, folder, [list, folder](std::optional<int64_t> count) {
        if (!list) {
            return;
        }
        for (int index = 0; index < list->topLevelItemCount(); ++index) {
            QTreeWidgetItem* row = list->topLevelItem(index);
            if (row->data(0, pathRole).toByteArray().toStdString() == folder) {
                row->setText(1, hiddenText(count));
            }
        }
    });
}

void ExclusionsWindow::addFolders() {
    // Several folders at once, from the home folder: the desktop's own chooser takes one.
    QFileDialog dialog(this, "Choose folders to exclude", QDir::homePath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
        if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view)) {
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        }
    }
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    std::vector<std::string> present = listed();
    for (const QString& chosen : dialog.selectedFiles()) {
        std::string folder = QFile::encodeName(QDir::cleanPath(chosen)).toStdString();
        if (std::find(present.begin(), present.end(), folder) == present.end()) {
            present.push_back(folder);
            addRow(folder);
        }
    }
    updateButtons();
}

void ExclusionsWindow::removeSelected() {
    for (QTreeWidgetItem* row : list_->selectedItems()) {
        delete row;
    }
    updateButtons();
}

void ExclusionsWindow::updateButtons() {
    remove_->setEnabled(!list_->selectedItems().isEmpty());
    std::vector<std::string> now = listed();
    std::vector<std::string> before = applied_;
    std::sort(now.begin(), now.end());
    std::sort(before.begin(), before.end());
    bool changed = now != before;
    apply_->setEnabled(changed && indexIdle_);
    note_->setText(!indexIdle_ ? "Changes can be applied once the scan or verification ends."
                   : changed  ? "Items under added folders leave the index; removed folders "
                                "are indexed again. Searches go on meanwhile."
                              : QString());
}

} // namespace quelmo
