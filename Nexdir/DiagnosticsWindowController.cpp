#include "DiagnosticsWindowController.h"

#include "AppStrings.h"
#include "DebugLog.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QThread>
#include <QVBoxLayout>

namespace quelmo {

namespace {

constexpr const char* sendTitle = "Send report";
constexpr const char* retryTitle = "Retry";
constexpr const char* copyCodeTitle = "Copy report code";
constexpr const char* preparing = "Preparing report locally\u2026";
constexpr const char* ready = "Nothing has been sent. HTTPS exposes normal connection "
                              "information, including your IP address, to the hosting "
                              "providers.";
constexpr const char* sending = "Sending report\u2026";
constexpr const char* sent = "Sent. Share this code with Quelmo support:\n";
constexpr const char* failed = "Could not confirm delivery. Retry safely with the same report, "
                               "or close this window.";

QString noticeFor(const DiagnosticUpload& uploader) {
    if (!uploader.isConfigured()) {
        return strings::diagnosticsLocalNotice;
    }
    return "Review the report below before sending it to " + uploader.host() +
           ". It contains app versions, event types, timings and counters. File paths and raw "
           "error messages are omitted. Reports are private and expire after 14 days. No files "
           "or index database are included.";
}

} // namespace

DiagnosticsWindowController::DiagnosticsWindowController(
    std::function<nexdir::DiagnosticReport()> build, DiagnosticUpload::Settings settings)
    : uploader_(std::move(settings)) {
    setWindowTitle("Send Quelmo diagnostics");
    resize(700, 520);
    setMinimumSize(560, 420);

    notice_ = new QLabel(noticeFor(uploader_), this);
    notice_->setWordWrap(true);
    preview_ = new QPlainTextEdit(this);
    preview_->setReadOnly(true);
    preview_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont monospaced = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    monospaced.setPointSize(11);
    preview_->setFont(monospaced);
    preview_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    preview_->setLineWrapMode(QPlainTextEdit::NoWrap);
    preview_->setAccessibleName("Report");
    status_ = new QLabel(preparing, this);
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    if (uploader_.isConfigured()) {
        sendButton_ = new QPushButton(sendTitle, this);
        sendButton_->setEnabled(false);
        sendButton_->setDefault(true);
        connect(sendButton_, &QPushButton::clicked, this,
                &DiagnosticsWindowController::sendOrCopyReceipt);
        buttons->addWidget(sendButton_);
    } else {
        saveButton_ = new QPushButton(strings::saveReport, this);
        copyButton_ = new QPushButton(strings::copyReport, this);
        saveButton_->setEnabled(false);
        copyButton_->setEnabled(false);
        connect(saveButton_, &QPushButton::clicked, this, &DiagnosticsWindowController::saveReport);
        connect(copyButton_, &QPushButton::clicked, this, &DiagnosticsWindowController::copyReport);
        buttons->addWidget(saveButton_);
        buttons->addWidget(copyButton_);
    }
    closeButton_ = new QPushButton("Close", this);
    connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(closeButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(notice_);
    layout->addWidget(preview_, 1);
    layout->addWidget(status_);
    layout->addLayout(buttons);

    // Reading two logs of up to 128,000 bytes each is quick, but not quick enough to hold
    // the window's first paint for.
    QPointer<DiagnosticsWindowController> self(this);
    QThread* builder = QThread::create([build = std::move(build), self] {
        std::optional<nexdir::DiagnosticReport> report;
        QString error;
        try {
            report = build();
        } catch (const std::exception& failure) {
            error = QString::fromStdString(failure.what());
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, report = std::move(report), error] {
                if (!self) {
                    return;
                }
                if (report) {
                    self->reportBuilt(*report);
                } else {
                    self->reportFailed(error);
                }
            },
            Qt::QueuedConnection);
    });
    connect(builder, &QThread::finished, builder, &QObject::deleteLater);
    builder->start();
}

DiagnosticsWindowController::~DiagnosticsWindowController() = default;

void DiagnosticsWindowController::reportBuilt(nexdir::DiagnosticReport report) {
    preview_->setPlainText(QString::fromStdString(report.text));
    report_ = std::move(report);
    status_->setText(uploader_.isConfigured() ? ready : strings::diagnosticsLocalReady);
    for (QPushButton* button : {sendButton_, saveButton_, copyButton_}) {
        if (button) {
            button->setEnabled(true);
        }
    }
    setState(State::ready);
}

void DiagnosticsWindowController::reportFailed(const QString& reason) {
    status_->setText(strings::reportNotPrepared + reason);
}

void DiagnosticsWindowController::sendOrCopyReceipt() {
    if (receipt_) {
        QApplication::clipboard()->setText(*receipt_);
        return;
    }
    sendReport();
}

void DiagnosticsWindowController::sendReport() {
    if (state_ == State::sending || !report_) {
        return;
    }
    setState(State::sending);
    status_->setText(sending);
    sendButton_->setEnabled(false);
    closeButton_->setEnabled(false);
    QPointer<DiagnosticsWindowController> self(this);
    uploader_.send(*report_, [self](const DiagnosticUpload::Result& result) {
        if (!self) {
            return;
        }
        if (result.receipt) {
            self->receipt_ = result.receipt;
            self->status_->setText(sent + *result.receipt);
            self->sendButton_->setText(copyCodeTitle);
            self->setState(State::sent);
        } else {
            self->status_->setText(failed);
            self->sendButton_->setText(retryTitle);
            self->setState(State::failed);
        }
        self->sendButton_->setEnabled(true);
        self->closeButton_->setEnabled(true);
    });
}

void DiagnosticsWindowController::saveReport() {
    if (!report_) {
        return;
    }
    // Qt's own dialog: the desktop's may run in another process that a test cannot reach.
    QFileDialog dialog(this, strings::saveReportTitle);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    // Not the folder Quelmo happened to be started from.
    dialog.setDirectory(QDir::homePath());
    dialog.selectFile(
        QString("quelmo-diagnostics-%1.txt").arg(QString::fromStdString(report_->id.substr(0, 8))));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    // Written whole or not at all: a half-written report would mislead whoever reads it.
    QSaveFile file(dialog.selectedFiles().first());
    bool saved = file.open(QIODevice::WriteOnly) &&
                 file.write(QByteArray::fromStdString(report_->text + "\n")) >= 0 && file.commit();
    status_->setText(saved ? QString(strings::reportSaved)
                           : strings::reportNotSaved + file.errorString());
}

void DiagnosticsWindowController::copyReport() {
    if (report_) {
        QApplication::clipboard()->setText(QString::fromStdString(report_->text));
        status_->setText(strings::reportCopied);
    }
}

void DiagnosticsWindowController::closeEvent(QCloseEvent* event) {
    // While a send is in flight the window stays, so its outcome is seen.
    if (state_ == State::sending) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void DiagnosticsWindowController::setState(State state) {
    state_ = state;
    Q_EMIT stateChanged(state);
}

} // namespace quelmo
