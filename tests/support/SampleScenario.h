#pragma once

// A scenario for the sample service, read from a JSON file: the revisions it publishes (pages of
// generated pictures of given sizes or of a web application, and when each is published), what goes wrong with which
// object and when, windows in which something else answers every request in the service's place,
// and reload requests. The README's developer section describes the file.

#include "tests/support/FakeRuntimeService.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <limits>
#include <optional>

namespace talvorine::test {

struct ScenarioPicture {
    QString name; // the media item's name and its path under the content route
    qint64 bytes = 0;
    bool decodes = true; // false: bytes that are not an image, as a broken upload gives
};

struct ScenarioPage {
    QString id;
    QList<ScenarioPicture> pictures; // none for an ad slot or a web application
    bool adslot = false;
    // The web application the page shows, by name; empty for pictures and ad slots. The one
    // known: "never_ready", which takes its context and never says it is ready.
    QString application;
};

struct ScenarioRevision {
    QList<ScenarioPage> pages;
    // When it is published: this long after the service started, or after the first manifest it
    // served; the first revision is published at the start.
    qint64 atMs = 0;
    bool afterManifest = false;
};

// What happens to requests for one object (or every object, "*") in [fromMs, untilMs) since the
// service started: an answer other than the object, a body sent at a given rate, or both.
struct ScenarioFault {
    QString object;
    qint64 fromMs = 0;
    qint64 untilMs = std::numeric_limits<qint64>::max();
    QString answer; // "close", "silent", "corrupt", "cut", a status in decimal, or empty
    int retryAfterS = -1;
    qint64 bytesPerSecond = 0;
};

// Every request answered by a login page in the service's place, or redirected to one, in
// [fromMs, untilMs).
struct ScenarioPortal {
    qint64 fromMs = 0;
    qint64 untilMs = 0;
    bool redirect = false;
};

struct ScenarioReload {
    qint64 atMs = 0;
    qint64 ttlMs = 0;
    int spreadS = 0;
};

struct SampleScenario {
    int dwellMs = 4000;
    QList<ScenarioRevision> revisions;
    QList<ScenarioFault> faults;
    // In the order of their times, none overlapping the next.
    QList<ScenarioPortal> portals;
    QList<ScenarioReload> reloads;
    // A stream resuming from before an announcement gets it again, as a service replays what a
    // screen missed; false: it does not, and a reconnect is the feed's end.
    bool replay = true;

    // Nothing with a reason naming the member at fault when the file is not a scenario.
    static std::optional<SampleScenario> parse(const QByteArray& json, QString* error);
    static std::optional<SampleScenario> load(const QString& path, QString* error);

    // How a request for the object made at that time is answered; nothing when it is served as
    // an origin would, at full speed.
    std::optional<FakeRuntimeService::ContentAnswer> answerFor(const QString& object,
                                                               qint64 atMs) const;
    // The portal window a request made at that time falls in; none outside them.
    const ScenarioPortal* portalAt(qint64 atMs) const
    {
        for (const ScenarioPortal& portal : portals) {
            if (atMs >= portal.fromMs && atMs < portal.untilMs)
                return &portal;
        }
        return nullptr;
    }
};

// A PNG grown to exactly `bytes` with private ancillary chunks a decoder skips; empty when the
// size is below the picture's own size plus one chunk's framing.
QByteArray paddedPicture(const QByteArray& png, qint64 bytes);

} // namespace talvorine::test
