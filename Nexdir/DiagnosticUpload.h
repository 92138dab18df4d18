#pragma once

#include "DiagnosticReport.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace quelmo {

// Sends a diagnostic report to the diagnostics service: one HTTPS POST to the service's
// "/v1/reports", never redirected, with no cookies and no cache, and a success only when the
// service answers with this report's own code. Each send has a network session of its own
// that ends with it, so nothing carries over between sends. Main thread: send and its
// completion.
class DiagnosticUpload : public QObject {
    Q_OBJECT
public:
    struct Settings {
        // The service, an https URL; empty in a build that has none, which then sends nothing.
        QUrl service;
        // Trusted besides the system's authorities: a test's own server, never set otherwise.
        QList<QSslCertificate> extraAuthorities;
        // The longest wait for the next bytes, and for the whole exchange: a service that
        // stops answering or trickles is given up on. (The request's own 60 seconds never
        // come into play after these.)
        int idleTimeoutMs = 30'000;
        int totalTimeoutMs = 45'000;
    };

    // The service the build was configured with (QUELMO_DIAGNOSTICS_URL).
    static Settings configured();

    struct Result {
        std::optional<QString> receipt; // the report code ("QX-…"), when the service took it
        QString errorDomain;            // otherwise why not
        int errorCode = 0;
        QString errorDescription;
    };
    using Completion = std::function<void(const Result&)>;

    explicit DiagnosticUpload(Settings settings, QObject* parent = nullptr);

    bool isConfigured() const;
    // The service's host name, as the window names it.
    QString host() const;

    // Sends `report`; `completion` is called once, on the main thread, even when this object
    // is gone by then (it is then not called at all).
    void send(const nexdir::DiagnosticReport& report, Completion completion);

    // The request body: {"id","report","schema":1}, keys sorted.
    static QByteArray body(const nexdir::DiagnosticReport& report);
    // The report code in a service's answer, when it is exactly the one expected for
    // `reportID`: a wrong or replayed answer is never taken for a receipt.
    static std::optional<QString> receiptFrom(int status, const QByteArray& answer,
                                              const QString& reportID);

    static constexpr qsizetype maximumAnswerBytes = 4095;

private:
    Settings settings_;
};

} // namespace quelmo
