// The panel's Trash: the button that shows what the user's Trash holds and opens it, and the
// move of a selected file into the Trash after a confirmation.

#include "SearchPanelController.h"

#include "Actions.h"
#include "AppStrings.h"
#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"
#include "PathText.h"
#include "StatusLabel.h"
#include "TrashSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QToolButton>

#include <cstdio>

namespace quelmo {

void SearchPanelController::buildTrashButton() {
    trashButton_ = new QToolButton;
    trashButton_->setText("Trash \u00b7 Checking\u2026");
    trashButton_->setIcon(
        QIcon::fromTheme("user-trash", trashButton_->style()->standardIcon(QStyle::SP_TrashIcon)));
    trashButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    trashButton_->setToolTip(strings::trashToolTip);
    trashButton_->setFocusPolicy(Qt::NoFocus); // the keyboard stays with the list
    trashButton_->setAutoRaise(true);
    trashButton_->setPopupMode(QToolButton::MenuButtonPopup);
    auto* menu = new QMenu(trashButton_);
    menu->addAction("Show Trash", this, &SearchPanelController::openTrash);
    menu->addAction("Refresh Trash Size", this, &SearchPanelController::remeasureTrash);
    trashButton_->setMenu(menu);
    connect(trashButton_, &QToolButton::clicked, this, &SearchPanelController::openTrash);
    trashButton_->hide(); // shown with the largest files
}

void SearchPanelController::refreshTrashSize(bool force) {
    if (trashSizePending_) {
        if (force) {
            trashRefreshAgain_ = true;
        }
        return;
    }
    double now = nexdir::uptimeSeconds();
    if (!force && lastTrashMeasure_ && now - *lastTrashMeasure_ <= trashRemeasureSeconds) {
        return;
    }
    if (!lastTrashMeasure_) {
        trashButton_->setText("Trash \u00b7 Checking\u2026");
    }
    trashSizePending_ = true;
    lastTrashMeasure_ = now;
    nexdir::DebugLog::write(std::string("trash measurement begin forced=") +
                            (force ? "true" : "false"));
    QPointer<SearchPanelController> panel(this);
    trashQueue_.async([panel, trash = trashDirectory_.toStdString(), now] {
        nexdir::TrashSize size = nexdir::measureTrash(trash, trashEntryLimit, trashSecondsLimit);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", nexdir::uptimeSeconds() - now);
        nexdir::DebugLog::write(std::string("trash measurement complete seconds=") + seconds +
                                " bytes=" + std::to_string(size.bytes) +
                                " readable=" + (size.readable ? "true" : "false") +
                                " complete=" + (size.complete ? "true" : "false"));
        QMetaObject::invokeMethod(
            qApp,
            [panel, size] {
                if (panel) {
                    panel->showTrashSize(size);
                }
            },
            Qt::QueuedConnection);
    });
}

void SearchPanelController::showTrashSize(const nexdir::TrashSize& size) {
    trashSizePending_ = false;
    if (!size.readable) {
        trashButton_->setText("Trash \u00b7 Size unavailable");
    } else {
        trashButton_->setText("Trash \u00b7 " + QString(size.complete ? "" : "\u2265 ") +
                              QString::fromStdString(nexdir::formatFileBytes(size.bytes)));
    }
    trashButton_->setToolTip(
        QString(strings::trashToolTip) +
        (size.complete ? ""
                       : "Some contents could not be counted; the displayed amount is a lower "
                         "bound."));
    Q_EMIT trashMeasured();
    if (trashRefreshAgain_) {
        trashRefreshAgain_ = false;
        refreshTrashSize(true);
    }
}

void SearchPanelController::openTrash() {
    nexdir::DebugLog::write("trash open requested");
    std::optional<QString> failure = Actions::showTrash(trashDirectory_.toStdString());
    nexdir::DebugLog::write(std::string("trash open completed errorCode=") + (failure ? "1" : "0"));
    if (failure) {
        showStatus(strings::openTrashFailed + *failure);
    } else {
        hidePanel();
    }
}

bool SearchPanelController::canMoveSelectedToTrash() const {
    auto result = selectedResult();
    return mode_ == Mode::largeFiles && !isLoading_ && !trashOperationPending_ && result &&
           !result->isDirectory && !result->isInTrash();
}

void SearchPanelController::moveSelectedToTrash() {
    if (!canMoveSelectedToTrash()) {
        return;
    }
    nexdir::SearchResult file = *selectedResult();
    std::optional<nexdir::FileIdentity> identity = nexdir::regularFileIdentity(file.path);
    if (!identity) {
        showStatus("Only an existing regular file can be moved to Trash.", file);
        return;
    }
    TrashSupport::Destination destination =
        TrashSupport::destinationFor(file.path, trashDirectory_.toStdString());
    QString name = QString::fromStdString(file.name);
    QMessageBox sheet(this);
    sheet.setWindowTitle("Move to Trash");
    sheet.setWindowModality(Qt::WindowModal);
    sheet.setIcon(QMessageBox::Question);
    sheet.setText("Move " + name + " to Trash?");
    sheet.setInformativeText(displayedPath(file.path) +
                             "\n\nYou can restore it from Trash. Disk space is not freed until "
                             "Trash is emptied." +
                             TrashSupport::destinationNote(destination));
    QPushButton* cancel = sheet.addButton("Cancel", QMessageBox::RejectRole);
    QPushButton* move = sheet.addButton("Move to Trash", QMessageBox::AcceptRole);
    sheet.setDefaultButton(cancel);
    sheet.setEscapeButton(cancel);
    sheet.exec();
    if (sheet.clickedButton() != move) {
        return;
    }
    // The sheet may have stood open for a while: only the file that was confirmed moves.
    std::optional<nexdir::FileIdentity> now = nexdir::regularFileIdentity(file.path);
    if (!now || *now != *identity) {
        showStatus("The file changed since confirmation opened. Select it again.", file);
        return;
    }
    trashOperationPending_ = true;
    std::optional<QString> failure = TrashSupport::moveToTrash(file.path, destination);
    trashOperationPending_ = false;
    if (failure) {
        showStatus(*failure, file);
        return;
    }
    movedToTrash_.insert(file.path);
    displayResults(model_->results(), true);
    refreshTrashSize(true);
    showStatus("Moved " + name + " to Trash. Space is freed when Trash is emptied.", file);
}

} // namespace quelmo
