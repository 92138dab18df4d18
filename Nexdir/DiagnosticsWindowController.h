#pragma once

#include "DiagnosticReport.h"
#include "DiagnosticUpload.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quelmo {

// The "Send Quelmo diagnostics" window: shows the report it builds, exactly as it would leave
// the computer, and sends it only when asked. The report is built once per window, off the
// main thread; a retry sends the same report. Without a diagnostics service in the build it
// offers the report to be saved or copied instead. The window is its own controller. Main
// thread.
class DiagnosticsWindowController : public QWidget {
    Q_OBJECT
public:
    // `build` makes the report; it runs on a thread of its own.
    DiagnosticsWindowController(std::function<nexdir::DiagnosticReport()> build,
                                DiagnosticUpload::Settings settings);
    ~DiagnosticsWindowController() override;

    // The state the window is in, for whoever needs to wait on it.
    enum class State { preparing, ready, sending, sent, failed };
    State state() const { return state_; }

Q_SIGNALS:
    void stateChanged(State state);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void reportBuilt(nexdir::DiagnosticReport report);
    void reportFailed(const QString& reason);
    void sendOrCopyReceipt();
    void sendReport();
    void saveReport();
    void copyReport();
    void setState(State state);

    DiagnosticUpload uploader_;
    std::optional<nexdir::DiagnosticReport> report_; // built once, sent as it is on every try
    std::optional<QString> receipt_;                 // the code the service gave
    State state_ = State::preparing;

    QLabel* notice_ = nullptr; // owned by the window, as are all below
    QPlainTextEdit* preview_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* sendButton_ = nullptr; // absent without a service
    QPushButton* saveButton_ = nullptr; // only without a service
    QPushButton* copyButton_ = nullptr; // only without a service
    QPushButton* closeButton_ = nullptr;
};

} // namespace quelmo
