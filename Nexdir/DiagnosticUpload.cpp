#include "DiagnosticUpload.h"

#include "BuildInfo.h"
#include "DebugLog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>

#include <memory>

namespace quelmo {

namespace {

constexpr const char* errorDomain = "QuelmoDiagnostics";
constexpr const char* refusedDescription =
    "The diagnostic service could not accept the report. Please try again later.";

DiagnosticUpload::Result refused(int status) {
    return {std::nullopt, errorDomain, status, refusedDescription};
}

} // namespace

DiagnosticUpload::Settings DiagnosticUpload::configured() {
    Settings settings;
    settings.service = QUrl(QString::fromUtf8(build::diagnosticsURL));
    return settings;
}

DiagnosticUpload::DiagnosticUpload(Settings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)) {}

bool DiagnosticUpload::isConfigured() const {
    // Only https: the report goes nowhere it could be read or altered on the way.
    const QUrl& service = settings_.service;
    return service.isValid() && service.scheme() == "https" && !service.host().isEmpty() &&
           service.userInfo().isEmpty();
}

QString DiagnosticUpload::host() const {
    return settings_.service.host();
}

QByteArray DiagnosticUpload::body(const nexdir::DiagnosticReport& report) {
    // QJsonObject keeps its keys sorted, which is the order the service expects.
    QJsonObject object{{"id", QString::fromStdString(report.id)},
                       {"report", QString::fromStdString(report.text)},
                       {"schema", 1}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QString> DiagnosticUpload::receiptFrom(int status, const QByteArray& answer,
                                                     const QString& reportID) {
    if ((status != 200 && status != 201) || answer.size() > maximumAnswerBytes) {
        return std::nullopt;
    }
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(answer, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    QJsonValue id = document.object().value("id");
    QString expected = "QX-" + reportID.toUpper();
    if (!id.isString() || id.toString() != expected) {
        return std::nullopt;
    }
    return expected;
}

void DiagnosticUpload::send(const nexdir::DiagnosticReport& report, Completion completion) {
    QPointer<DiagnosticUpload> self(this);
    auto finish = [self, completion](const Result& result) {
        nexdir::DebugLog::write(result.receipt ? std::string("diagnostics upload accepted")
                                               : "diagnostics upload failed errorCode=" +
                                                     std::to_string(result.errorCode));
        if (self) {
            completion(result);
        }
    };
    if (!isConfigured()) {
        QTimer::singleShot(0, this, [finish] { finish(refused(0)); });
        return;
    }

    QUrl endpoint = settings_.service;
    QString path = endpoint.path();
    while (path.endsWith('/')) {
        path.chop(1);
    }
    endpoint.setPath(path + "/v1/reports");
    QNetworkRequest request(endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("User-Agent", "Quelmo-Diagnostics/1");
    // A redirect would send the report somewhere the user was not told of: it comes back as
    // its 3xx status, which is a failure.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(settings_.idleTimeoutMs);
    if (!settings_.extraAuthorities.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(settings_.extraAuthorities);
        request.setSslConfiguration(tls);
    }

    // The session and everything of this send live until its end, whoever is gone by then.
    auto* session = new QNetworkAccessManager();
    QNetworkReply* reply = session->post(request, body(report));
    auto answer = std::make_shared<QByteArray>();
    auto oversized = std::make_shared<bool>(false);
    auto* deadline = new QTimer(session);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(settings_.totalTimeoutMs);

    // A longer answer is not read to its end: a service that sends megabytes is not one that
    // took the report.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, answer, oversized] {
        answer->append(reply->readAll());
        if (answer->size() > maximumAnswerBytes && !*oversized) {
            *oversized = true;
            reply->abort();
        }
    });
    QString reportID = QString::fromStdString(report.id);
    QObject::connect(
        reply, &QNetworkReply::finished, session,
        [session, reply, answer, oversized, reportID, finish] {
            QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
            Result result;
            if (!statusAttribute.isValid() && !*oversized) {
                // No answer at all: the connection, TLS or a timeout failed.
                result = {std::nullopt, "QNetworkReply", int(reply->error()), reply->errorString()};
            } else {
                if (!*oversized) {
                    answer->append(reply->readAll());
                }
                // An answer cut short is not an answer, whatever its status said.
                std::optional<QString> receipt =
                    *oversized || reply->error() != QNetworkReply::NoError
                        ? std::nullopt
                        : receiptFrom(status, *answer, reportID);
                result = receipt ? Result{receipt, {}, 0, {}} : refused(status);
            }
            reply->deleteLater();
            session->deleteLater();
            finish(result);
        });
}

} // namespace quelmo
