#include "DiagnosticUpload.h"
#include "DiagnosticsWindowController.h"
#include "TestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fstream>

using namespace nexdir;
using quelmo::DiagnosticsWindowController;
using quelmo::DiagnosticUpload;

// The upload and the window against a real HTTPS service of the test's own
// (diagnostics-service.py), whose certificate only these tests trust.
class DiagnosticsTests : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDirectory> folder;
    QProcess service;
    int port = 0;
    QList<QSslCertificate> authority;

    std::string record() const { return *folder / "requests"; }

    // The requests the service received, in order.
    QList<QJsonObject> requests() const {
        QList<QJsonObject> received;
        std::ifstream in(record());
        for (std::string line; std::getline(in, line);) {
            received.append(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        }
        return received;
    }

    DiagnosticUpload::Settings settingsFor(const QString& behaviour) const {
        DiagnosticUpload::Settings settings;
        settings.service = QUrl(QString("https://127.0.0.1:%1/%2").arg(port).arg(behaviour));
        settings.extraAuthorities = authority;
        return settings;
    }

    static DiagnosticReport report(const std::string& id = "0123456789abcdef0123456789abcdef") {
        return {id, "Quelmo diagnostics v1\nApp: 0.1.0 (1)\n\n2024-05-06T07:08:09Z scan begin "
                    "\"quoted\" \\ \u00e9"};
    }

    static DiagnosticUpload::Result send(DiagnosticUpload::Settings settings,
                                         const DiagnosticReport& sent = report()) {
        DiagnosticUpload upload(std::move(settings));
        std::optional<DiagnosticUpload::Result> result;
        upload.send(sent, [&](const DiagnosticUpload::Result& answer) { result = answer; });
        if (!QTest::qWaitFor([&] { return result.has_value(); }, 15'000)) {
            return {std::nullopt, "test", -1, "no completion"};
        }
        return *result;
    }

    static void expectRefused(const DiagnosticUpload::Result& result, int status) {
        QVERIFY(!result.receipt);
        QCOMPARE(result.errorDomain, QString("QuelmoDiagnostics"));
        QCOMPARE(result.errorCode, status);
        QCOMPARE(result.errorDescription,
                 QString("The diagnostic service could not accept the report. Please try again "
                         "later."));
    }

    static QPushButton* button(QWidget* window, const QString& title) {
        for (auto* candidate : window->findChildren<QPushButton*>()) {
            if (candidate->text() == title) {
                return candidate;
            }
        }
        return nullptr;
    }

    static QString status(QWidget* window) {
        // The status is the label below the preview: the last one laid out.
        return window->findChildren<QLabel*>().last()->text();
    }

private Q_SLOTS:
    void initTestCase() {
        folder = std::make_unique<test::TempDirectory>();
        QString cert = QString::fromStdString(*folder / "cert.pem");
        QString key = QString::fromStdString(*folder / "key.pem");
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                       "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
        QVERIFY(openssl.waitForFinished(30'000) && openssl.exitCode() == 0);
        authority = QSslCertificate::fromPath(cert);
        QCOMPARE(authority.size(), 1);
        service.start("python3",
                      {DIAGNOSTICS_SERVICE, cert, key, QString::fromStdString(record())});
        QVERIFY(service.waitForReadyRead(10'000));
        port = service.readLine().trimmed().toInt();
        QVERIFY(port > 0);
    }

    void cleanupTestCase() {
        service.kill();
        service.waitForFinished();
    }

    void init() { std::remove(record().c_str()); }

    void acceptsOnlyTheReportsOwnCode() {
        DiagnosticReport sent = report();
        auto result = send(settingsFor("accept"), sent);
        QCOMPARE(result.receipt.value_or("none"), QString("QX-0123456789ABCDEF0123456789ABCDEF"));
        auto received = requests();
        QCOMPARE(received.size(), 1);
        QCOMPARE(received[0]["path"].toString(), QString("/accept/v1/reports"));
        QJsonObject headers = received[0]["headers"].toObject();
        QCOMPARE(headers["Content-Type"].toString(), QString("application/json"));
        QCOMPARE(headers["User-Agent"].toString(), QString("Quelmo-Diagnostics/1"));
        // Sorted keys, no white space, the text as it was shown.
        QCOMPARE(received[0]["body"].toString().toUtf8(),
                 QJsonDocument(QJsonObject{{"id", QString::fromStdString(sent.id)},
                                           {"report", QString::fromStdString(sent.text)},
                                           {"schema", 1}})
                     .toJson(QJsonDocument::Compact));
        QVERIFY(received[0]["body"].toString().startsWith("{\"id\":\"0123"));

        // The service set a cookie; the next send does not carry it.
        QVERIFY(send(settingsFor("accept")).receipt);
        QVERIFY(!requests()[1]["headers"].toObject().contains("Cookie"));

        // Another report's code, or this one's in the wrong case, is no receipt.
        expectRefused(send(settingsFor("wrong-id")), 200);
        expectRefused(send(settingsFor("replayed")), 200);
        expectRefused(send(settingsFor("unknown")), 404);
        // A redirect is not followed, even to where the report would be taken.
        std::remove(record().c_str());
        expectRefused(send(settingsFor("redirect")), 302);
        QCOMPARE(requests().size(), 1);
        // 5 MB of answer is not read to its end, even with the right code in it.
        QElapsedTimer clock;
        clock.start();
        expectRefused(send(settingsFor("huge")), 200);
        QVERIFY(clock.elapsed() < 5'000);
    }

    void failsWithoutATrustedFastHttpsService() {
        // A service that keeps the answer back is given up on.
        auto settings = settingsFor("slow");
        settings.totalTimeoutMs = 1'000;
        QElapsedTimer clock;
        clock.start();
        auto result = send(settings);
        QVERIFY(!result.receipt);
        QVERIFY(result.errorCode != 0);
        QVERIFY(clock.elapsed() < 5'000);

        // A certificate nobody vouches for, and plain HTTP, send nothing that succeeds.
        settings = settingsFor("accept");
        settings.extraAuthorities.clear();
        QVERIFY(!send(settings).receipt);
        std::remove(record().c_str());
        settings.service = QUrl(QString("http://127.0.0.1:%1/accept").arg(port));
        QVERIFY(!send(settings).receipt);
        QCOMPARE(requests().size(), 0);
    }

    void windowRetriesTheSameReportUntilItIsTaken() {
        DiagnosticReport built = report("fedcba9876543210fedcba9876543210");
        DiagnosticsWindowController window([built] { return built; }, settingsFor("unsure"));
        window.show();
        QCOMPARE(window.windowTitle(), QString("Send Quelmo diagnostics"));
        QVERIFY(window.findChildren<QLabel*>().first()->text().startsWith(
            "Review the report below before sending it to 127.0.0.1. It contains"));
        QPushButton* send = button(&window, "Send report");
        QPushButton* close = button(&window, "Close");
        QVERIFY(send && close);
        QTRY_COMPARE(window.state(), DiagnosticsWindowController::State::ready);
        QVERIFY(status(&window).startsWith("Nothing has been sent. HTTPS exposes"));
        QCOMPARE(window.findChild<QPlainTextEdit*>()->toPlainText().toStdString(), built.text);

        send->click();
        QCOMPARE(window.state(), DiagnosticsWindowController::State::sending);
        QCOMPARE(status(&window), QString("Sending report\u2026"));
        QVERIFY(!send->isEnabled() && !close->isEnabled());
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QTRY_COMPARE(window.state(), DiagnosticsWindowController::State::failed);
        QCOMPARE(status(&window), QString("Could not confirm delivery. Retry safely with the same "
                                          "report, or close this window."));
        QCOMPARE(send->text(), QString("Retry"));
        QVERIFY(send->isEnabled() && close->isEnabled());

        send->click();
        QTRY_COMPARE(window.state(), DiagnosticsWindowController::State::sent);
        QString code = "QX-FEDCBA9876543210FEDCBA9876543210";
        QCOMPARE(status(&window), "Sent. Share this code with Quelmo support:\n" + code);
        QCOMPARE(send->text(), QString("Copy report code"));
        send->click();
        QCOMPARE(QApplication::clipboard()->text(), code);
        auto received = requests();
        QCOMPARE(received.size(), 2);
        QCOMPARE(received[0]["body"], received[1]["body"]);
        QVERIFY(window.close());
    }

    void windowWithoutAServiceSavesAndCopies() {
        DiagnosticReport built = report();
        DiagnosticsWindowController window([built] { return built; }, {});
        window.show();
        QVERIFY(!button(&window, "Send report"));
        QVERIFY(window.findChildren<QLabel*>().first()->text().contains("sends nothing"));
        QPushButton* save = button(&window, "Save Report\u2026");
        QPushButton* copy = button(&window, "Copy Report");
        QVERIFY(save && copy && !save->isEnabled());
        QTRY_COMPARE(window.state(), DiagnosticsWindowController::State::ready);
        QCOMPARE(status(&window), QString("Nothing has been sent."));

        copy->click();
        QCOMPARE(QApplication::clipboard()->text().toStdString(), built.text);

        std::string saved = *folder / "saved report.txt";
        QTimer::singleShot(100, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(saved));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        save->click();
        QCOMPARE(test::readFile(saved), built.text + "\n");
        QCOMPARE(status(&window), QString("Saved. Nothing has been sent."));
        QCOMPARE(requests().size(), 0);
    }
};

QTEST_MAIN(DiagnosticsTests)
#include "DiagnosticsTests.moc"
