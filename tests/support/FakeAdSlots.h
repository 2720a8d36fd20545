#pragma once

#include "tests/support/FakeRuntimeService.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace talvorine::test {

// The fake runtime service's ad routes, answered from what each request asks: the resolve
// route fills, empties or leaves out each candidate by its page id, on the service's own clock
// (the service's clock offset); the events route gives each event a verdict, remembers the
// event ids it has taken and counts the ones delivered again; the creative route serves each
// filled decision's bytes, with the deviations a test scripts. A reply scripted on one of these
// routes replaces the computed answer for that attempt.
class FakeAdSlots {
public:
    using Reply = FakeRuntimeService::Reply;
    using Request = FakeRuntimeService::Request;
    using Fault = FakeRuntimeService::Fault;

    // What a page is filled with. Times are relative to the service's now at the answer.
    struct Fill {
        QString decisionId{}; // empty: "dec_" and the occurrence id's suffix
        QString reservationId = QStringLiteral("res_1");
        qint64 startNotBeforeMs = -1000;
        qint64 startBeforeMs = 30000;
        qint64 playbackDeadlineMs = 120000;
        qint64 reportBeforeMs = 600000;
        qint64 creativeRevision = 1;
        QString kind = QStringLiteral("image");
        qint64 durationMs = 10000;
        QString contentType = QStringLiteral("image/png");
        QByteArray creative = QByteArray(64, 'c'); // its length and digest go in the answer
        QString fit = QStringLiteral("contain");
        std::optional<QString> codecs{};
        std::optional<QString> contentPath{}; // instead of the creative route's own
        std::optional<QString> sha256{};      // instead of the creative's digest
        std::optional<qint64> bytes{};        // instead of the creative's length
        bool renewable = true; // otherwise a renewal (check sequence above 1) goes unanswered
    };

    // How the creative route departs from the decision it serves.
    struct CreativeDeviation {
        int status = 200;
        qint64 extraBytes = 0; // more (or, negative, fewer) bytes than announced
        bool cut = false;      // the connection drops half way through the body
        int latencyMs = 0;
    };

    // The verdict for one received event, or none to leave it out of the answer. The default
    // accepts a new id and calls one already taken a duplicate.
    using Verdict = std::function<std::optional<QString>(const QJsonObject& event, bool taken)>;

    explicit FakeAdSlots(FakeRuntimeService& service) : service_(service) {}

    // Resolve: pages without a rule of their own are answered empty, without a hint.
    void fill(const QString& pageId, Fill fill) { rules_.insert(pageId, Rule{Rule::Filled, fill, {}}); }
    void empty(const QString& pageId, std::optional<qint64> hintMs = {})
    {
        rules_.insert(pageId, Rule{Rule::Empty, {}, hintMs});
    }
    void omit(const QString& pageId) { rules_.insert(pageId, Rule{Rule::Omitted, {}, {}}); }
    // Answers the page's candidates with their check sequence moved by shift (a stale answer).
    void shiftCheckSequence(const QString& pageId, qint64 shift) { shifts_.insert(pageId, shift); }
    void setResolveLatencyMs(int ms) { resolveLatencyMs_ = ms; }

    // A generated body for the resolve route instead of the computed answer, from the request's
    // JSON and the service's now (a hostile service).
    using Body = std::function<QByteArray(const QJsonObject& request, qint64 serverNowMs)>;
    void setResolveBody(Body body) { resolveBody_ = std::move(body); }

    // Events.
    void setVerdict(Verdict verdict) { verdict_ = std::move(verdict); }
    // Every event object the events route has received, in order, whatever it answered.
    QList<QJsonObject> receivedEvents() const;
    const QSet<QString>& takenEventIds() const { return taken_; }
    // Events delivered again after the service had already taken their id.
    int redeliveries() const { return redeliveries_; }

    // Creatives: the decisions filled so far are served at their content path.
    void deviate(const QString& decisionId, CreativeDeviation deviation)
    {
        deviations_.insert(decisionId, deviation);
    }
    QByteArray creativeFor(const QString& decisionId) const { return creatives_.value(decisionId); }
    static QString contentPathFor(const QString& decisionId);

    // The computed answer for a request to one of the ad routes; none for any other request.
    std::optional<Reply> answer(const Request& request, qint64 serverNowMs);

private:
    struct Rule {
        enum Kind { Filled, Empty, Omitted } kind = Empty;
        Fill fill;
        std::optional<qint64> hintMs;
    };

    Reply resolve(const Request& request, qint64 serverNowMs);
    Reply events(const Request& request);
    Reply creative(const Request& request) const;

    FakeRuntimeService& service_;
    QHash<QString, Rule> rules_;
    QHash<QString, qint64> shifts_;
    int resolveLatencyMs_ = 0;
    Verdict verdict_;
    QSet<QString> taken_;
    int redeliveries_ = 0;
    QHash<QString, QByteArray> creatives_;
    QHash<QString, CreativeDeviation> deviations_;
    Body resolveBody_;
};

} // namespace talvorine::test
