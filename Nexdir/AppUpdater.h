#pragma once

#include "DefaultsStore.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QNetworkReply>
#include <QUrl>

#include <functional>
#include <optional>
#include <variant>

class QNetworkAccessManager;

namespace quelmo {

// Where updates are announced: set when the program is built (the CMake cache variables
// QUELMO_UPDATE_FEED_URL and QUELMO_UPDATE_PUBLIC_KEY), never by the user, so a feed cannot
// be swapped on an installed copy.
struct UpdateConfiguration {
    QUrl feed;
    QByteArray publicKey; // Ed25519, 32 bytes

    // Both values as built in: the feed an https URL with a host and no user or password, the
    // key Base64 of exactly 32 bytes. Anything else leaves updates unconfigured.
    static std::optional<UpdateConfiguration> from(const QString& feedURL,
                                                   const QString& publicKey);
};

// What a feed announces. The feed is a small JSON object naming the newest release, followed
// by one last line "signature: " + Base64 of the Ed25519 signature of every byte before that
// line:
//   {"version": "0.2.0", "downloadPage": "https://example.org/quelmo/0.2.0"}
//   signature: 8Jc2...==
struct UpdateRelease {
    QString version;
    QUrl downloadPage;

    // The release a feed announces when its signature verifies against `publicKey`, or why
    // it is refused.
    static std::variant<UpdateRelease, QString> fromFeed(const QByteArray& feed,
                                                         const QByteArray& publicKey);
};

// True when `candidate` is a later version than `current` ("0.10.0" is later than "0.9.1").
bool isNewerVersion(const QString& candidate, const QString& current);

// "Check for Updates…" and "Automatically Check for Updates": reads the build's feed over
// HTTPS (redirects refused), and when it announces a newer version that verifies, offers its
// download page. Installing is the package manager's. Main thread.
class AppUpdater : public QObject {
    Q_OBJECT
public:
    // The build's own configuration; `defaults` keeps the automatic-check choice.
    AppUpdater(nexdir::DefaultsStore& defaults, QObject* parent = nullptr);
    AppUpdater(std::optional<UpdateConfiguration> configuration, nexdir::DefaultsStore& defaults,
               QObject* parent = nullptr);
    ~AppUpdater() override;

    bool isConfigured() const { return configuration_.has_value(); }
    // Configured, and no check is running.
    bool canCheckForUpdates() const { return configuration_ && !reply_; }
    bool automaticallyChecks() const;
    void setAutomaticallyChecks(bool on);
    // A check the user asked for: its outcome is always told.
    void checkForUpdates();

    // Runs before an update's window shows: the panel steps aside.
    std::function<void()> prepareForUpdateUI = [] {};

    static constexpr const char* notConfiguredToolTip =
        "Updates are not configured in this local development build.";
    static constexpr int automaticIntervalSeconds = 24 * 60 * 60;

private:
    void check(bool userInitiated);
    void finished(bool userInitiated);
    void tell(const QString& title, const QString& text);

    std::optional<UpdateConfiguration> configuration_;
    nexdir::DefaultsStore& defaults_;
    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> reply_; // the check that runs
    QTimer automaticChecks_;
};

} // namespace quelmo
