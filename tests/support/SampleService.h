#pragma once

// The fake runtime service as a program for a person to watch the player work: sample content
// made on this machine, a pairing claimed on its own after a visible delay, sessions, the sample
// manifest with entity tags, screenshots asked for and saved, and a second revision announced
// after a while. Everything it sees goes to a journal in its output folder.

#include "tests/support/FakeRuntimeService.h"
#include "tests/support/SampleScenario.h"

#include <QColor>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace talvorine::test {

struct SampleServiceOptions {
    QString outputDirectory;
    // Where the player's operation log is collected (TALVORINE_PLAYER_LOG_SOCKET); none when empty.
    QString opLogSocket;
    int claimDelayMs = 4000;
    int screenshotIntervalMs = 30000;
    int revisionDelayMs = 180000;
    int pageDwellMs = 8000;
    // How long the web application shows itself before it asks for the next page.
    int applicationShowMs = 20000;
    // The colour-bar clip's length at 30 frames per second.
    int clipFrames = 150;
    // The video ad's clip, shorter than the content clip and nothing like it.
    int adClipFrames = 90;
    // The service's clock is the machine's moved by this much, so that the stamps of ad evidence
    // visibly come from the service.
    qint64 clockOffsetMs = 0;
    // A scenario file to serve instead of the sample content (SampleScenario).
    QString scenarioFile;
};

// One image of the sample content: a colour field with a large title, so that a screenshot can be
// told apart by a sampled pixel.
struct SampleImage {
    QString name; // of the media item
    QString title;
    QRgb colour = 0;
};

// One sample page: its id and its images in order (none for the video and application pages).
struct SamplePage {
    QString id;
    QList<SampleImage> images;
};

class SampleService : public QObject {
    Q_OBJECT
public:
    explicit SampleService(SampleServiceOptions options, QObject* parent = nullptr);
    ~SampleService() override;

    // Makes the content, listens and writes the origin to "service-origin" in the output folder;
    // false with a reason on failure.
    bool start(QString* error);
    // Only collects the operation log, for a run without the service.
    bool startOpLogOnly(QString* error);
    QUrl origin() const { return service_.url(QString()); }
    FakeRuntimeService& service() { return service_; }

    // The pages of each revision, in their order ("minutes" shown in even minutes only; "clip"
    // plays the video to its end; "lobby" is the web application, which turns the page itself).
    static QList<SamplePage> pages(int revision);

    // Writes the operator PIN record for a six-digit PIN into a player's state directory with the
    // panel's own PIN store, so that a run shows the locked panel; false with a reason otherwise.
    static bool provisionPin(const QString& stateDirectory, const QString& pin, QString* error);

private:
    struct Document {
        QByteArray body;
        QByteArray etag;
    };
    // One revision as each manifest route serves it: with the adslot page where ad slots were
    // negotiated, without it on the first route.
    struct Revision {
        Document withAds;
        Document withoutAds;
        QString name;
    };

    bool openOutput(QString* error);
    bool makeContent(QString* error);
    QByteArray manifest(int revision, bool withAds) const;
    void publish(int revision);
    FakeRuntimeService::Reply manifestReply(const FakeRuntimeService::Request& request) const;
    // Whether the stream this request opens missed the last revision announcement.
    bool announcementMissed(const FakeRuntimeService::Request& request) const;
    void onRequest(int index);
    void claimWhenListening();
    void requestScreenshot();
    void saveScreenshot(const FakeRuntimeService::Request& request);
    void collectOpLog();
    void journal(const QString& event, QJsonObject fields = {});
    bool makeApplicationPackage(QString* error);
    bool makeNeverReadyPackage(QString* error);
    QJsonObject servePackage(const QString& application, const QByteArray& bytes);
    void journalKeyValue(const FakeRuntimeService::Request& request);
    void fillNextArrival();
    void saveAdEvents(const FakeRuntimeService::Request& request);
    bool makeScenarioContent(
        const std::function<void(const QString&, QByteArray, const QString&, const QJsonObject&)>& add,
        QString* error);
    void startScenario();
    QJsonArray scenarioPages(int revision, bool withAds) const;
    std::optional<FakeRuntimeService::ContentAnswer> scenarioAnswer(
        const FakeRuntimeService::Request& request) const;
    std::optional<FakeRuntimeService::Reply> portalReply(const FakeRuntimeService::Request& request) const;
    void requestReload(const ScenarioReload& reload);

    SampleServiceOptions options_;
    FakeRuntimeService service_{FakeRuntimeService::Transport::Http};
    QFile journal_;
    QFile opLog_;
    QLocalServer opLogServer_;
    QTimer claimTimer_;
    QTimer screenshotTimer_;
    QTimer revisionTimer_;
    // Media path to its manifest entry (sha256, bytes, content type and size).
    QHash<QString, QJsonObject> media_;
    qint64 clipMs_ = 0;
    // The web application's package entry in the manifest.
    QJsonObject package_;
    // A scenario's never-ready application's, made when a page shows it.
    QJsonObject neverReadyPackage_;
    // Ad arrivals take turns: an image, none, the ad clip, none.
    QFile adEvents_;
    QByteArray adImage_;
    QByteArray adClip_;
    qint64 adClipMs_ = 0;
    int adArrivals_ = 0;
    // The creative kind the next resolve is answered with; empty when it is answered empty.
    QString fillingWith_;
    Revision current_;
    bool paired_ = false;
    int screenshots_ = 0;
    int eventId_ = 0;
    // The last revision announcement, sent again on a stream that missed it.
    QByteArray announcement_;
    int announcementId_ = 0;
    std::optional<SampleScenario> scenario_;
    bool manifestServed_ = false;
    int reloads_ = 0;
};

} // namespace talvorine::test
