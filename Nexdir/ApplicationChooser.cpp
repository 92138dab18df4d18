#include "ApplicationChooser.h"

#include "AppStrings.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace quelmo {

ApplicationChooser::ApplicationChooser(const QString& fileName,
                                       std::vector<Actions::Application> applications,
                                       QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(strings::chooseApplicationTitle);
    resize(420, 480);
    auto* layout = new QVBoxLayout(this);
    auto* about = new QLabel("Open \u201c" + fileName + "\u201d with:");
    about->setWordWrap(true);
    layout->addWidget(about);
    filter_ = new QLineEdit;
    filter_->setPlaceholderText("Filter applications\u2026");
    filter_->setAccessibleName("Filter applications");
    filter_->setClearButtonEnabled(true);
    layout->addWidget(filter_);
    list_ = new QListWidget;
    list_->setAccessibleName("Applications");
    list_->setIconSize(QSize(24, 24));
    for (const Actions::Application& application : applications) {
        auto* row = new QListWidgetItem(application.icon, application.name, list_);
        row->setData(Qt::UserRole, application.id);
    }
    layout->addWidget(list_, 1);
    empty_ = new QLabel(applications.empty() ? "No applications are installed for this desktop."
                                             : "No application matches the filter.");
    empty_->setAccessibleName(empty_->text());
    layout->addWidget(empty_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel);
    open_ = buttons->button(QDialogButtonBox::Open);
    layout->addWidget(buttons);

    connect(filter_, &QLineEdit::textChanged, this, &ApplicationChooser::applyFilter);
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(list_, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem* current) { open_->setEnabled(current && !current->isHidden()); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // The arrows move through the list while the keyboard stays in the filter.
    filter_->installEventFilter(this);
    applyFilter({});
    filter_->setFocus();
}

QString ApplicationChooser::chosenID() const {
    QListWidgetItem* current = list_->currentItem();
    return current && !current->isHidden() ? current->data(Qt::UserRole).toString() : QString();
}

bool ApplicationChooser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == filter_ && event->type() == QEvent::KeyPress) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
            key == Qt::Key_PageDown) {
            QCoreApplication::sendEvent(list_, event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ApplicationChooser::applyFilter(const QString& text) {
    QListWidgetItem* first = nullptr;
    for (int row = 0; row < list_->count(); ++row) {
        QListWidgetItem* item = list_->item(row);
        bool shown = item->text().contains(text.trimmed(), Qt::CaseInsensitive);
        item->setHidden(!shown);
        if (shown && !first) {
            first = item;
        }
    }
    QListWidgetItem* current = list_->currentItem();
    if (!current || current->isHidden()) {
        list_->setCurrentItem(first);
    }
    open_->setEnabled(first != nullptr);
    empty_->setVisible(first == nullptr);
}

} // namespace quelmo
