#include "AppUpdater.h"

#include "BuildInfo.h"
#include "DebugLog.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QNetworkReply>
#include <QVersionNumber>

#include <openssl/evp.h>

#include <memory>

namespace quelmo {

namespace {

constexpr const char* automaticChecksKey = "automaticallyChecksForUpdates";
constexpr const char* signaturePrefix = "signature: ";
constexpr int feedTimeoutMilliseconds = 30'000;
constexpr qint64 largestFeed = 64 * 1024; // a feed names one release

bool isPlainHTTPS(const QUrl& url) {
    return url.isValid() && url.scheme() == "https" && !url.host().isEmpty() &&
           url.userName().isEmpty() && url.password().isEmpty();
}

bool verifies(const QByteArray& message, const QByteArray& signature, const QByteArray& key) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(key.constData()),
                                    size_t(key.size())),
        EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                     EVP_MD_CTX_free);
    if (!publicKey || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char*>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size())) == 1;
}

} // namespace

std::optional<UpdateConfiguration> UpdateConfiguration::from(const QString& feedURL,
                                                             const QString& publicKey) {
    QUrl feed(feedURL, QUrl::StrictMode);
    auto key = QByteArray::fromBase64Encoding(publicKey.toLatin1(),
                                              QByteArray::AbortOnBase64DecodingErrors);
    if (!isPlainHTTPS(feed) || !key || key.decoded.size() != 32) {
        return std::nullopt;
    }
    return UpdateConfiguration{feed, key.decoded};
}

std::variant<UpdateRelease, QString> UpdateRelease::fromFeed(const QByteArray& feed,
                                                             const QByteArray& publicKey) {
    QByteArray body = feed.endsWith('\n') ? feed.chopped(1) : feed;
    qsizetype lastLine = body.lastIndexOf('\n') + 1;
    QByteArray signatureLine = body.mid(lastLine);
    if (lastLine == 0 || !signatureLine.startsWith(signaturePrefix)) {
        return QString("The update feed is not signed");
    }
    auto signature = QByteArray::fromBase64Encoding(
        signatureLine.mid(qsizetype(strlen(signaturePrefix))).trimmed(),
        QByteArray::AbortOnBase64DecodingErrors);
    QByteArray signedPart = feed.left(lastLine);
    if (!signature || !verifies(signedPart, signature.decoded, publicKey)) {
        return QString("The update feed's signature does not match this build's key");
    }
    QJsonObject release = QJsonDocument::fromJson(signedPart).object();
    UpdateRelease result{release.value("version").toString(),
                         QUrl(release.value("downloadPage").toString(), QUrl::StrictMode)};
    if (QVersionNumber::fromString(result.version).isNull() ||
        !isPlainHTTPS(result.downloadPage)) {
        return QString("The update feed does not name a version and an https download page");
    }
    return result;
}

bool isNewerVersion(const QString& candidate, const QString& current) {
    return QVersionNumber::compare(QVersionNumber::fromString(candidate),
                                   QVersionNumber::fromString(current)) > 0;
}

AppUpdater::AppUpdater(nexdir::DefaultsStore& defaults, QObject* parent)
    : AppUpdater(UpdateConfiguration::from(build::updateFeedURL, build::updatePublicKey),
                 defaults, parent) {}

AppUpdater::AppUpdater(std::optional<UpdateConfiguration> configuration,
                       nexdir::DefaultsStore& defaults, QObject* parent)
    : QObject(parent), configuration_(std::move(configuration)), defaults_(defaults) {
    automaticChecks_.setInterval(automaticIntervalSeconds * 1000);
    connect(&automaticChecks_, &QTimer::timeout, this, [this] { check(false); });
    if (configuration_) {
        network_ = new QNetworkAccessManager(this);
        setAutomaticallyChecks(automaticallyChecks());
    }
}

AppUpdater::~AppUpdater() {
    if (reply_) {
        reply_->abort();
    }
}

bool AppUpdater::automaticallyChecks() const {
    return configuration_ && defaults_.boolean(automaticChecksKey);
}

void AppUpdater::setAutomaticallyChecks(bool on) {
    if (!configuration_) {
        return;
    }
    defaults_.setBoolean(automaticChecksKey, on);
    if (on) {
        automaticChecks_.start();
    } else {
        automaticChecks_.stop();
    }
}

void AppUpdater::checkForUpdates() {
    prepareForUpdateUI();
    nexdir::DebugLog::write("update check requested");
    check(true);
}

void AppUpdater::check(bool userInitiated) {
    if (!canCheckForUpdates()) {
        return;
    }
    QNetworkRequest request(configuration_->feed);
    // A redirect could lead anywhere; the feed is where the build says it is.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(feedTimeoutMilliseconds);
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::finished, this,
            [this, userInitiated] { finished(userInitiated); });
}

void AppUpdater::finished(bool userInitiated) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->deleteLater();
    int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString failure;
    std::variant<UpdateRelease, QString> release = QString();
    if (reply->error() != QNetworkReply::NoError) {
        failure = reply->errorString();
    } else if (status >= 300 && status < 400) {
        failure = "The update feed redirected elsewhere; updates are read only from where this "
                  "build says";
    } else if (status != 200) {
        failure = QString("The update feed answered with HTTP status %1").arg(status);
    } else {
        release = UpdateRelease::fromFeed(reply->read(largestFeed), configuration_->publicKey);
        if (auto* refused = std::get_if<QString>(&release)) {
            failure = *refused;
        }
    }
    if (!failure.isEmpty()) {
        nexdir::DebugLog::write("update check failed status=" + std::to_string(status));
        if (userInitiated) {
            tell("Could not check for updates", failure);
        }
        return;
    }
    const auto& offered = std::get<UpdateRelease>(release);
    bool newer = isNewerVersion(offered.version, build::version);
    nexdir::DebugLog::write(std::string("update check finished newer=") +
                            (newer ? "true" : "false"));
    if (!newer) {
        if (userInitiated) {
            tell("Quelmo is up to date",
                 QString("Version %1 is the newest version.").arg(build::version));
        }
        return;
    }
    prepareForUpdateUI();
    QMessageBox offer(QMessageBox::Information, "Quelmo",
                      QString("Quelmo %1 is available").arg(offered.version));
    offer.setInformativeText(
        QString("You have version %1. Install the new version with your package manager, or "
                "get it from its download page.")
            .arg(build::version));
    QPushButton* open = offer.addButton("Open Download Page", QMessageBox::AcceptRole);
    offer.addButton("Not Now", QMessageBox::RejectRole);
    offer.exec();
    if (offer.clickedButton() == static_cast<QAbstractButton*>(open)) {
        QDesktopServices::openUrl(offered.downloadPage);
    }
}

void AppUpdater::tell(const QString& title, const QString& text) {
    QMessageBox alert(QMessageBox::Information, "Quelmo", title, QMessageBox::Ok);
    alert.setInformativeText(text);
    alert.exec();
}

} // namespace quelmo
