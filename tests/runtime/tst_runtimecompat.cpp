#include "runtime/RuntimeCompat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <limits>

using namespace talvorine;
using namespace talvorine::RuntimeCompat;

Q_DECLARE_METATYPE(talvorine::RuntimeCompat::ProblemAction)
Q_DECLARE_METATYPE(talvorine::RuntimeCompat::ProblemBasis)
Q_DECLARE_METATYPE(talvorine::RuntimeCompat::MintKind)
Q_DECLARE_METATYPE(talvorine::RuntimeCompat::ReloadVerdict)

namespace {

const QDateTime now = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0), Qt::UTC);

constexpr int samples = 400;

QJsonObject reloadEvent(const QJsonObject& details)
{
    return QJsonObject{{"type", "player.reload"}, {"details", details}};
}

} // namespace

class TestRuntimeCompat : public QObject {
    Q_OBJECT

private slots:
    // delays
    void parseNonNegativeDelay_data();
    void parseNonNegativeDelay();
    void retryAfter_data();
    void retryAfter();
    void retryBackoffStaysInBounds_data();
    void retryBackoffStaysInBounds();
    void holdCadenceStaysInBounds_data();
    void holdCadenceStaysInBounds();
    void uniformRange_data();
    void uniformRange();

    // entity tags
    void entityTag_data();
    void entityTag();

    // problem decisions
    void actionNames();
    void decision_data();
    void decision();
    void decisionRetryDelay_data();
    void decisionRetryDelay();
    void decisionBodyTexts_data();
    void decisionBodyTexts();

    // reload requests
    void parseReloadFields_data();
    void parseReloadFields();
    void reloadVerdictOrder_data();
    void reloadVerdictOrder();
    void reloadVerdictNames();
    void ledgerKeepsAWeekAndAtMost64();
};

void TestRuntimeCompat::parseNonNegativeDelay_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("unit");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("empty") << QByteArray() << qint64(1) << qint64(-1);
    QTest::newRow("blank") << QByteArray(" \t ") << qint64(1) << qint64(-1);
    QTest::newRow("unit zero") << QByteArray("5") << qint64(0) << qint64(-1);
    QTest::newRow("negative unit") << QByteArray("5") << qint64(-1000) << qint64(-1);
    QTest::newRow("minus zero") << QByteArray("-0") << qint64(1) << qint64(-1);
    QTest::newRow("plus sign") << QByteArray("+5") << qint64(1) << qint64(-1);
    QTest::newRow("fraction") << QByteArray("1.5") << qint64(1) << qint64(-1);
    QTest::newRow("inner space") << QByteArray("5 5") << qint64(1) << qint64(-1);
    QTest::newRow("trailing letters") << QByteArray("12a") << qint64(1) << qint64(-1);
    QTest::newRow("non-ASCII digit") << QByteArray("\xd9\xa3") << qint64(1) << qint64(-1);
    QTest::newRow("zero") << QByteArray("0") << qint64(1000) << qint64(0);
    QTest::newRow("trimmed") << QByteArray(" 42 ") << qint64(1) << qint64(42);
    QTest::newRow("trailing line feed trimmed") << QByteArray("7\n") << qint64(1000) << qint64(7000);
    QTest::newRow("ceiling exact") << QByteArray("900000") << qint64(1) << qint64(900000);
    QTest::newRow("ceiling plus one") << QByteArray("900001") << qint64(1) << qint64(900000);
    QTest::newRow("seconds below ceiling") << QByteArray("899") << qint64(1000) << qint64(899000);
    QTest::newRow("seconds at ceiling") << QByteArray("900") << qint64(1000) << qint64(900000);
    QTest::newRow("seconds above ceiling") << QByteArray("901") << qint64(1000) << qint64(900000);
    QTest::newRow("18 digits with leading zeros")
        << QByteArray("000000000000000005") << qint64(1) << qint64(5);
    QTest::newRow("19 digits") << QByteArray("0000000000000000005") << qint64(1) << qint64(900000);
    QTest::newRow("18 nines") << QByteArray("999999999999999999") << qint64(1) << qint64(900000);
    QTest::newRow("product would overflow")
        << QByteArray("999999999999999999") << std::numeric_limits<qint64>::max() << qint64(900000);
    QTest::newRow("huge unit") << QByteArray("1") << std::numeric_limits<qint64>::max()
                               << qint64(900000);
}

void TestRuntimeCompat::parseNonNegativeDelay()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, unit);
    QFETCH(qint64, expected);
    QCOMPARE(parseNonNegativeDelayMs(value, unit), expected);
}

void TestRuntimeCompat::retryAfter_data()
{
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QDateTime>("nowUtc");
    QTest::addColumn<qint64>("expected");

    const QByteArray date = "Tue, 10 Mar 2026 12:00:00 GMT";
    QTest::newRow("absent") << QByteArray() << date << now << qint64(-1);
    QTest::newRow("seconds") << QByteArray("120") << QByteArray() << now << qint64(120000);
    QTest::newRow("zero") << QByteArray("0") << QByteArray() << now << qint64(0);
    QTest::newRow("an hour is capped") << QByteArray("3600") << QByteArray() << now << qint64(900000);
    QTest::newRow("negative") << QByteArray("-1") << QByteArray() << now << qint64(-1);
    QTest::newRow("garbage") << QByteArray("soon") << QByteArray() << now << qint64(-1);
    QTest::newRow("IMF date against Date header")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 GMT") << date << now.addDays(3) << qint64(30000);
    QTest::newRow("RFC 850 date")
        << QByteArray("Tuesday, 10-Mar-26 12:01:00 GMT") << date << now << qint64(60000);
    QTest::newRow("asctime date")
        << QByteArray("Tue Mar 10 12:00:05 2026") << date << now << qint64(5000);
    QTest::newRow("asctime single-digit day")
        << QByteArray("Mon Mar  9 12:00:05 2026") << QByteArray("Mon, 09 Mar 2026 12:00:00 GMT")
        << now << qint64(5000);
    QTest::newRow("no Date header uses now")
        << QByteArray("Tue, 10 Mar 2026 12:00:10 GMT") << QByteArray() << now << qint64(10000);
    QTest::newRow("unusable Date header uses now")
        << QByteArray("Tue, 10 Mar 2026 12:00:10 GMT") << QByteArray("yesterday") << now
        << qint64(10000);
    QTest::newRow("date in the past is zero")
        << QByteArray("Tue, 10 Mar 2026 11:00:00 GMT") << date << now << qint64(0);
    QTest::newRow("date far ahead is capped")
        << QByteArray("Fri, 10 Apr 2026 12:00:00 GMT") << date << now << qint64(900000);
    QTest::newRow("trailing line feed is trimmed")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 GMT\n") << date << now << qint64(30000);
    QTest::newRow("lower-case zone refused")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 gmt") << date << now << qint64(-1);
    QTest::newRow("other zone refused")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 UTC") << date << now << qint64(-1);
    QTest::newRow("impossible day refused")
        << QByteArray("Tue, 31 Feb 2026 12:00:30 GMT") << date << now << qint64(-1);
    QTest::newRow("single-digit IMF day refused")
        << QByteArray("Tue, 1 Mar 2026 12:00:30 GMT") << date << now << qint64(-1);
    QTest::newRow("trailing text refused")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 GMT x") << date << now << qint64(-1);
    QTest::newRow("no usable clock at all")
        << QByteArray("Tue, 10 Mar 2026 12:00:30 GMT") << QByteArray() << QDateTime() << qint64(-1);
}

void TestRuntimeCompat::retryAfter()
{
    QFETCH(QByteArray, retryAfter);
    QFETCH(QByteArray, date);
    QFETCH(QDateTime, nowUtc);
    QFETCH(qint64, expected);
    QCOMPARE(retryAfterMs(retryAfter, date, nowUtc), expected);
}

void TestRuntimeCompat::retryBackoffStaysInBounds_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<qint64>("serverDelay");
    QTest::addColumn<qint64>("low");
    QTest::addColumn<qint64>("high");

    // Bounds written out per attempt: 1 s doubling, 300 s ceiling reached at attempt 9.
    const QList<std::pair<int, qint64>> bases{{-5, 1000},   {0, 1000},    {1, 2000},
                                              {2, 4000},    {5, 32000},   {8, 256000},
                                              {9, 300000},  {10, 300000}, {1000, 300000}};
    for (const auto& [attempt, base] : bases) {
        QTest::addRow("attempt %d", attempt) << attempt << qint64(-1) << base / 2 << base;
    }
    QTest::newRow("server delay below the exponential range")
        << 3 << qint64(100) << qint64(4000) << qint64(8000);
    QTest::newRow("server delay zero") << 0 << qint64(0) << qint64(500) << qint64(1000);
    QTest::newRow("server delay dominates with 20 percent jitter")
        << 0 << qint64(60000) << qint64(60000) << qint64(72000);
    QTest::newRow("server jitter capped at 30 s")
        << 0 << qint64(400000) << qint64(400000) << qint64(430000);
    QTest::newRow("never above 15 minutes")
        << 0 << qint64(890000) << qint64(890000) << qint64(900000);
    QTest::newRow("server delay beyond the ceiling")
        << 9 << qint64(5000000) << qint64(900000) << qint64(900000);
}

void TestRuntimeCompat::retryBackoffStaysInBounds()
{
    QFETCH(int, attempt);
    QFETCH(qint64, serverDelay);
    QFETCH(qint64, low);
    QFETCH(qint64, high);

    qint64 seenLow = std::numeric_limits<qint64>::max();
    qint64 seenHigh = -1;
    for (int i = 0; i < samples; ++i) {
        const qint64 delay = retryBackoffMs(attempt, serverDelay);
        QVERIFY2(delay >= low && delay <= high, qPrintable(QString::number(delay)));
        seenLow = std::min(seenLow, delay);
        seenHigh = std::max(seenHigh, delay);
    }
    // The delay is spread over its range rather than pinned to one value.
    if (high - low >= 100)
        QVERIFY(seenHigh - seenLow > (high - low) / 2);
}

void TestRuntimeCompat::holdCadenceStaysInBounds_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<qint64>("serverDelay");
    QTest::addColumn<qint64>("low");
    QTest::addColumn<qint64>("high");

    const QList<std::pair<int, qint64>> bases{{-1, 60000},  {0, 60000},   {1, 120000},
                                              {2, 240000},  {3, 480000},  {4, 900000},
                                              {5, 900000},  {100, 900000}};
    for (const auto& [attempt, base] : bases)
        QTest::addRow("attempt %d", attempt) << attempt << qint64(-1) << base * 3 / 4 << base;
    QTest::newRow("short server delay changes nothing")
        << 0 << qint64(10) << qint64(45000) << qint64(60000);
    QTest::newRow("long server delay is a floor")
        << 0 << qint64(500000) << qint64(500000) << qint64(500000);
    QTest::newRow("server delay capped") << 0 << qint64(2000000) << qint64(900000) << qint64(900000);
}

void TestRuntimeCompat::holdCadenceStaysInBounds()
{
    QFETCH(int, attempt);
    QFETCH(qint64, serverDelay);
    QFETCH(qint64, low);
    QFETCH(qint64, high);
    for (int i = 0; i < samples; ++i) {
        const qint64 delay = holdCadenceMs(attempt, serverDelay);
        QVERIFY2(delay >= low && delay <= high, qPrintable(QString::number(delay)));
    }
}

void TestRuntimeCompat::uniformRange_data()
{
    QTest::addColumn<qint64>("low");
    QTest::addColumn<qint64>("high");

    QTest::newRow("single value") << qint64(5) << qint64(5);
    QTest::newRow("two values") << qint64(0) << qint64(1);
    QTest::newRow("negative range") << qint64(-10) << qint64(-7);
    QTest::newRow("whole 64-bit range")
        << std::numeric_limits<qint64>::min() << std::numeric_limits<qint64>::max();
}

void TestRuntimeCompat::uniformRange()
{
    QFETCH(qint64, low);
    QFETCH(qint64, high);
    QSet<qint64> seen;
    for (int i = 0; i < samples; ++i) {
        const qint64 value = uniformMs(low, high);
        QVERIFY(value >= low && value <= high);
        seen.insert(value);
    }
    const quint64 span = quint64(high) - quint64(low);
    if (span < 10)
        QCOMPARE(seen.size(), qsizetype(span + 1)); // both ends are reachable
    QCOMPARE(uniformMs(high, low), high); // reversed range: the low argument
}

void TestRuntimeCompat::entityTag_data()
{
    QTest::addColumn<QByteArray>("tag");
    QTest::addColumn<bool>("valid");

    QTest::newRow("strong") << QByteArray("\"abc\"") << true;
    QTest::newRow("weak") << QByteArray("W/\"abc\"") << true;
    QTest::newRow("empty opaque") << QByteArray("\"\"") << true;
    QTest::newRow("edge characters") << QByteArray("\"!#~\"") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("unquoted") << QByteArray("abc") << false;
    QTest::newRow("open quote") << QByteArray("\"abc") << false;
    QTest::newRow("single quote mark") << QByteArray("\"") << false;
    QTest::newRow("lower-case weak prefix") << QByteArray("w/\"abc\"") << false;
    QTest::newRow("weak prefix alone") << QByteArray("W/") << false;
    QTest::newRow("inner quote") << QByteArray("\"a\"b\"") << false;
    QTest::newRow("space") << QByteArray("\"a b\"") << false;
    QTest::newRow("delete") << QByteArray("\"\x7f\"") << false;
    QTest::newRow("non-ASCII") << QByteArray("\"\xc3\xa9\"") << false;
    QTest::newRow("control byte") << QByteArray("\"a\x01\"") << false;
    QTest::newRow("trailing line feed") << QByteArray("\"abc\"\n") << false;
    QTest::newRow("header injection") << QByteArray("\"a\"\r\nX: y") << false;
    QTest::newRow("256 bytes") << QByteArray('"' + QByteArray(254, 'x') + '"') << true;
    QTest::newRow("257 bytes") << QByteArray('"' + QByteArray(255, 'x') + '"') << false;
    QTest::newRow("weak 256 bytes") << QByteArray("W/\"" + QByteArray(252, 'x') + '"') << true;
    QTest::newRow("weak 257 bytes") << QByteArray("W/\"" + QByteArray(253, 'x') + '"') << false;
}

void TestRuntimeCompat::entityTag()
{
    QFETCH(QByteArray, tag);
    QFETCH(bool, valid);
    QCOMPARE(validEntityTag(tag), valid);
}

void TestRuntimeCompat::actionNames()
{
    const QList<std::pair<ProblemAction, QString>> names{
        {ProblemAction::RetryBackoff, "retry_backoff"}, {ProblemAction::HoldLkg, "hold_lkg"},
        {ProblemAction::Remint, "remint"},              {ProblemAction::Repair, "repair"},
        {ProblemAction::ClearLkg, "clear_lkg"},
        {ProblemAction::UpgradeRequired, "upgrade_required"}};
    for (const auto& [action, name] : names) {
        QCOMPARE(actionName(action), name);
        QCOMPARE(actionFromName(name), std::optional<ProblemAction>(action));
    }
    for (const QString& wrong : {QString(), QStringLiteral("Remint"), QStringLiteral("remint\n"),
                                 QStringLiteral(" remint"), QStringLiteral("retry")})
        QVERIFY(!actionFromName(wrong));
    QCOMPARE(basisName(ProblemBasis::ServerAction), QStringLiteral("server_action"));
    QCOMPARE(basisName(ProblemBasis::ProblemCode), QStringLiteral("problem_code"));
    QCOMPARE(basisName(ProblemBasis::HttpStatus), QStringLiteral("http_status"));
    QCOMPARE(basisName(ProblemBasis::Network), QStringLiteral("network"));
}

void TestRuntimeCompat::decision_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<MintKind>("kind");
    QTest::addColumn<ProblemAction>("action");
    QTest::addColumn<ProblemBasis>("basis");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("transient");

    using A = ProblemAction;
    using B = ProblemBasis;
    using K = MintKind;

    // Without an HTTP answer.
    QTest::newRow("network") << 0 << QByteArray() << K::Manifest << A::RetryBackoff << B::Network
                             << "runtime_unavailable" << true;
    QTest::newRow("network with problem code")
        << 0 << QByteArray(R"({"code":"screen_archived"})") << K::Manifest << A::ClearLkg
        << B::ProblemCode << "screen_archived" << true;
    QTest::newRow("negative status is no answer")
        << -3 << QByteArray() << K::Other << A::RetryBackoff << B::Network << "runtime_unavailable"
        << true;

    // By status, with the code prefix of each kind.
    QTest::newRow("426") << 426 << QByteArray() << K::DeviceSession << A::UpgradeRequired
                         << B::HttpStatus << "device_session_http_426" << false;
    QTest::newRow("401 device session holds")
        << 401 << QByteArray() << K::DeviceSession << A::HoldLkg << B::HttpStatus
        << "device_session_http_401" << false;
    QTest::newRow("401 manifest remints") << 401 << QByteArray() << K::Manifest << A::Remint
                                          << B::HttpStatus << "manifest_http_401" << false;
    QTest::newRow("401 identity challenge remints")
        << 401 << QByteArray() << K::IdentityChallenge << A::Remint << B::HttpStatus
        << "identity_challenge_http_401" << false;
    QTest::newRow("402") << 402 << QByteArray() << K::IdentitySession << A::HoldLkg << B::HttpStatus
                         << "identity_session_http_402" << false;
    QTest::newRow("403") << 403 << QByteArray() << K::AdEvents << A::HoldLkg << B::HttpStatus
                         << "ad_events_http_403" << false;
    QTest::newRow("404") << 404 << QByteArray() << K::Report << A::HoldLkg << B::HttpStatus
                         << "report_http_404" << false;
    QTest::newRow("410") << 410 << QByteArray() << K::Other << A::HoldLkg << B::HttpStatus
                         << "runtime_http_410" << false;
    QTest::newRow("408") << 408 << QByteArray() << K::Manifest << A::RetryBackoff << B::HttpStatus
                         << "manifest_http_408" << true;
    QTest::newRow("425") << 425 << QByteArray() << K::Manifest << A::RetryBackoff << B::HttpStatus
                         << "manifest_http_425" << true;
    QTest::newRow("429") << 429 << QByteArray() << K::Manifest << A::RetryBackoff << B::HttpStatus
                         << "manifest_http_429" << true;
    QTest::newRow("500") << 500 << QByteArray() << K::Manifest << A::RetryBackoff << B::HttpStatus
                         << "manifest_http_500" << true;
    QTest::newRow("599") << 599 << QByteArray() << K::Manifest << A::RetryBackoff << B::HttpStatus
                         << "manifest_http_599" << true;
    QTest::newRow("other 4xx holds") << 418 << QByteArray() << K::Manifest << A::HoldLkg
                                     << B::HttpStatus << "manifest_http_418" << false;
    QTest::newRow("400 holds") << 400 << QByteArray() << K::Report << A::HoldLkg << B::HttpStatus
                               << "report_http_400" << false;
    QTest::newRow("2xx is retried") << 200 << QByteArray() << K::Manifest << A::RetryBackoff
                                    << B::HttpStatus << "manifest_http_200" << true;

    // By problem code, whatever the status says.
    const QList<std::pair<const char*, A>> codes{
        {"upgrade_required", A::UpgradeRequired}, {"screen_archived", A::ClearLkg},
        {"payment_required", A::HoldLkg},         {"runtime_session_expired", A::Remint},
        {"session_expired", A::Remint},           {"repair_required", A::Repair},
        {"proof_invalid", A::RetryBackoff},       {"challenge_expired", A::RetryBackoff},
        {"idempotency_mismatch", A::RetryBackoff}, {"rate_limited", A::RetryBackoff}};
    for (const auto& [code, action] : codes) {
        QTest::addRow("code %s on 403", code)
            << 403 << QJsonDocument(QJsonObject{{"code", code}}).toJson() << K::Manifest << action
            << B::ProblemCode << QString::fromLatin1(code) << (action == A::RetryBackoff);
    }
    QTest::newRow("unknown code falls back to status")
        << 503 << QByteArray(R"({"code":"maintenance.window"})") << K::Manifest << A::RetryBackoff
        << B::HttpStatus << "maintenance.window" << true;
    QTest::newRow("malformed code is ignored")
        << 404 << QByteArray(R"({"code":"Screen_Archived"})") << K::Manifest << A::HoldLkg
        << B::HttpStatus << "manifest_http_404" << false;
    QTest::newRow("code of 81 characters is ignored")
        << 404 << QByteArray(R"({"code":")" + QByteArray(81, 'a') + R"("})") << K::Manifest
        << A::HoldLkg << B::HttpStatus << "manifest_http_404" << false;
    QTest::newRow("code of 80 characters is kept")
        << 404 << QByteArray(R"({"code":")" + QByteArray(80, 'a') + R"("})") << K::Manifest
        << A::HoldLkg << B::HttpStatus << QString(80, QLatin1Char('a')) << false;
    QTest::newRow("code with trailing line feed is ignored")
        << 404 << QByteArray(R"({"code":"screen_archived\n"})") << K::Manifest << A::HoldLkg
        << B::HttpStatus << "manifest_http_404" << false;
    QTest::newRow("numeric code is ignored")
        << 410 << QByteArray(R"({"code":7})") << K::Report << A::HoldLkg << B::HttpStatus
        << "report_http_410" << false;

    // A server action beats everything else.
    QTest::newRow("server action beats code and status")
        << 503 << QByteArray(R"({"code":"screen_archived","action":"repair"})") << K::Manifest
        << A::Repair << B::ServerAction << "screen_archived" << true;
    QTest::newRow("unknown server action is ignored")
        << 503 << QByteArray(R"({"action":"reboot"})") << K::Manifest << A::RetryBackoff
        << B::HttpStatus << "manifest_http_503" << true;
    QTest::newRow("server action on network failure")
        << 0 << QByteArray(R"({"action":"hold_lkg"})") << K::Manifest << A::HoldLkg
        << B::ServerAction << "runtime_unavailable" << true;

    // Bodies that are not problem objects.
    QTest::newRow("array body") << 404 << QByteArray(R"([{"code":"screen_archived"}])")
                                << K::Manifest << A::HoldLkg << B::HttpStatus << "manifest_http_404"
                                << false;
    QTest::newRow("HTML body") << 502 << QByteArray("<html>bad gateway</html>") << K::Manifest
                               << A::RetryBackoff << B::HttpStatus << "manifest_http_502" << true;
    QTest::newRow("truncated JSON") << 426 << QByteArray(R"({"code":"screen_arch)") << K::Report
                                    << A::UpgradeRequired << B::HttpStatus << "report_http_426"
                                    << false;
}

void TestRuntimeCompat::decision()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(MintKind, kind);
    QFETCH(ProblemAction, action);
    QFETCH(ProblemBasis, basis);
    QFETCH(QString, code);
    QFETCH(bool, transient);

    const ProblemDecision decision = decideProblem(status, body, {}, {}, kind, now);
    QCOMPARE(actionName(decision.action), actionName(action));
    QCOMPARE(basisName(decision.basis), basisName(basis));
    QCOMPARE(decision.code, code);
    QCOMPARE(decision.status, std::max(status, 0));
    QCOMPARE(isTransient(decision), transient);
}

void TestRuntimeCompat::decisionRetryDelay_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("none") << QByteArray() << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("header seconds") << QByteArray() << QByteArray("30") << QByteArray()
                                    << qint64(30000);
    QTest::newRow("header date against Date")
        << QByteArray() << QByteArray("Tue, 10 Mar 2026 12:00:45 GMT")
        << QByteArray("Tue, 10 Mar 2026 12:00:00 GMT") << qint64(45000);
    QTest::newRow("header beats body")
        << QByteArray(R"({"retry_after_ms":5})") << QByteArray("2") << QByteArray() << qint64(2000);
    QTest::newRow("unusable header falls back to body")
        << QByteArray(R"({"retry_after_ms":1500})") << QByteArray("later") << QByteArray()
        << qint64(1500);
    QTest::newRow("body as text") << QByteArray(R"({"retry_after_ms":"2500"})") << QByteArray()
                                  << QByteArray() << qint64(2500);
    QTest::newRow("body capped") << QByteArray(R"({"retry_after_ms":1e30})") << QByteArray()
                                 << QByteArray() << qint64(900000);
    QTest::newRow("body negative") << QByteArray(R"({"retry_after_ms":-5})") << QByteArray()
                                   << QByteArray() << qint64(-1);
    QTest::newRow("body fractional") << QByteArray(R"({"retry_after_ms":2.5})") << QByteArray()
                                     << QByteArray() << qint64(-1);
    QTest::newRow("body boolean") << QByteArray(R"({"retry_after_ms":true})") << QByteArray()
                                  << QByteArray() << qint64(-1);
}

void TestRuntimeCompat::decisionRetryDelay()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, retryAfter);
    QFETCH(QByteArray, date);
    QFETCH(qint64, expected);
    QCOMPARE(decideProblem(503, body, retryAfter, date, MintKind::Manifest, now).retryAfterMs,
             expected);
}

void TestRuntimeCompat::decisionBodyTexts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("playerKind");
    QTest::addColumn<QString>("minSupported");

    QTest::newRow("both given") << QByteArray(R"({"code":"upgrade_required","player_kind":"qt",)"
                                              R"("min_supported":"26.10.1"})")
                                << "qt" << "26.10.1";
    QTest::newRow("40 characters kept")
        << QByteArray(R"({"player_kind":")" + QByteArray(40, 'k') + R"("})")
        << QString(40, QLatin1Char('k')) << QString();
    QTest::newRow("41 characters dropped")
        << QByteArray(R"({"min_supported":")" + QByteArray(41, '9') + R"("})") << QString()
        << QString();
    QTest::newRow("non-text dropped") << QByteArray(R"({"player_kind":5,"min_supported":[1]})")
                                      << QString() << QString();
}

void TestRuntimeCompat::decisionBodyTexts()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, playerKind);
    QFETCH(QString, minSupported);
    const ProblemDecision decision = decideProblem(426, body, {}, {}, MintKind::DeviceSession, now);
    QCOMPARE(decision.playerKind, playerKind);
    QCOMPARE(decision.minSupported, minSupported);
}

void TestRuntimeCompat::parseReloadFields_data()
{
    QTest::addColumn<QJsonObject>("event");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QString>("reloadId");
    QTest::addColumn<QDateTime>("expiresAt");
    QTest::addColumn<QStringList>("kinds");
    QTest::addColumn<QString>("minVersion");
    QTest::addColumn<int>("spreadS");

    const QDateTime expiry(QDate(2026, 3, 10), QTime(13, 0), Qt::UTC);
    QTest::newRow("full") << reloadEvent({{"reload_id", "rl_1"},
                                          {"expires_at", "2026-03-10T14:00:00+01:00"},
                                          {"kinds", QJsonArray{"qt", "web"}},
                                          {"min_version", "26.10"},
                                          {"spread_s", 30}})
                          << true << "rl_1" << expiry << QStringList{"qt", "web"} << "26.10" << 30;
    QTest::newRow("spread defaults to 120")
        << reloadEvent({{"reload_id", "a"}, {"expires_at", "2026-03-10T13:00:00.000Z"}}) << true
        << "a" << expiry << QStringList{} << QString() << 120;
    QTest::newRow("spread capped at an hour")
        << reloadEvent({{"reload_id", "a"}, {"spread_s", 86400}}) << true << "a" << QDateTime()
        << QStringList{} << QString() << 3600;
    QTest::newRow("negative spread is none")
        << reloadEvent({{"reload_id", "a"}, {"spread_s", -4}}) << true << "a" << QDateTime()
        << QStringList{} << QString() << 0;
    QTest::newRow("textual spread uses the default")
        << reloadEvent({{"reload_id", "a"}, {"spread_s", "9"}}) << true << "a" << QDateTime()
        << QStringList{} << QString() << 120;
    QTest::newRow("non-text kinds skipped")
        << reloadEvent({{"reload_id", "a"}, {"kinds", QJsonArray{1, "qt", QJsonObject{}}}}) << true
        << "a" << QDateTime() << QStringList{"qt"} << QString() << 120;
    QTest::newRow("bad date is invalid")
        << reloadEvent({{"reload_id", "a"}, {"expires_at", "tomorrow"}}) << true << "a"
        << QDateTime() << QStringList{} << QString() << 120;
    QTest::newRow("details missing still a request")
        << QJsonObject{{"type", "player.reload"}} << true << QString() << QDateTime()
        << QStringList{} << QString() << 120;
    QTest::newRow("other type") << QJsonObject{{"type", "player.reboot"}} << false << QString()
                                << QDateTime() << QStringList{} << QString() << 0;
    QTest::newRow("type with trailing line feed")
        << QJsonObject{{"type", "player.reload\n"}} << false << QString() << QDateTime()
        << QStringList{} << QString() << 0;
}

void TestRuntimeCompat::parseReloadFields()
{
    QFETCH(QJsonObject, event);
    QFETCH(bool, parsed);
    const std::optional<ReloadRequest> request = parseReload(event);
    QCOMPARE(request.has_value(), parsed);
    if (!parsed)
        return;
    QFETCH(QString, reloadId);
    QFETCH(QDateTime, expiresAt);
    QFETCH(QStringList, kinds);
    QFETCH(QString, minVersion);
    QFETCH(int, spreadS);
    QCOMPARE(request->reloadId, reloadId);
    QCOMPARE(request->expiresAt, expiresAt);
    if (expiresAt.isValid())
        QCOMPARE(request->expiresAt.timeSpec(), Qt::UTC);
    QCOMPARE(request->kinds, kinds);
    QCOMPARE(request->minVersion, minVersion);
    QCOMPARE(request->spreadS, spreadS);
}

void TestRuntimeCompat::reloadVerdictOrder_data()
{
    QTest::addColumn<QString>("reloadId");
    QTest::addColumn<int>("expiresInS");
    QTest::addColumn<QStringList>("kinds");
    QTest::addColumn<QString>("minVersion");
    QTest::addColumn<QString>("playerVersion");
    QTest::addColumn<int>("lastReloadAgoS"); // -1: never
    QTest::addColumn<ReloadVerdict>("verdict");

    using V = ReloadVerdict;
    const QStringList qt{"qt"};
    QTest::newRow("act") << "rl_new" << 60 << qt << "27.0" << "26.9.229" << -1 << V::Act;
    QTest::newRow("act without kinds or version")
        << "rl_new" << 60 << QStringList{} << QString() << "26.9.229" << 700 << V::Act;
    // Each row breaks every later rule too, so only the order can make it pass.
    QTest::newRow("invalid id before everything")
        << "bad id" << -60 << QStringList{"web"} << "1" << "26.9" << 1 << V::Invalid;
    QTest::newRow("id with trailing line feed is invalid")
        << "rl_new\n" << 60 << qt << QString() << "26.9" << -1 << V::Invalid;
    QTest::newRow("id of 161 characters is invalid")
        << QString(161, QLatin1Char('a')) << 60 << qt << QString() << "26.9" << -1 << V::Invalid;
    QTest::newRow("id of 160 characters acts")
        << QString(160, QLatin1Char('a')) << 60 << qt << QString() << "26.9" << -1 << V::Act;
    QTest::newRow("duplicate before expired")
        << "rl_seen" << -60 << QStringList{"web"} << "1" << "26.9" << 1 << V::Duplicate;
    QTest::newRow("expired before other kind")
        << "rl_new" << -60 << QStringList{"web"} << "1" << "26.9" << 1 << V::Expired;
    QTest::newRow("expiring now is expired")
        << "rl_new" << 0 << qt << QString() << "26.9" << -1 << V::Expired;
    QTest::newRow("other kind before version")
        << "rl_new" << 60 << QStringList{"web", "QT"} << "1" << "26.9" << 1 << V::OtherKind;
    QTest::newRow("version current before rate limit")
        << "rl_new" << 60 << qt << "26.9" << "26.9.0" << 1 << V::VersionCurrent;
    QTest::newRow("version compared numerically")
        << "rl_new" << 60 << qt << "26.10" << "26.9.229" << -1 << V::Act;
    QTest::newRow("newer player is current")
        << "rl_new" << 60 << qt << "26.10.3" << "26.11" << -1 << V::VersionCurrent;
    QTest::newRow("unreadable player version reloads")
        << "rl_new" << 60 << qt << "26.1" << "dev" << -1 << V::Act;
    QTest::newRow("rate limited within ten minutes")
        << "rl_new" << 60 << qt << QString() << "26.9" << 599 << V::RateLimited;
    QTest::newRow("ten minutes later acts")
        << "rl_new" << 60 << qt << QString() << "26.9" << 600 << V::Act;
}

void TestRuntimeCompat::reloadVerdictOrder()
{
    QFETCH(QString, reloadId);
    QFETCH(int, expiresInS);
    QFETCH(QStringList, kinds);
    QFETCH(QString, minVersion);
    QFETCH(QString, playerVersion);
    QFETCH(int, lastReloadAgoS);
    QFETCH(ReloadVerdict, verdict);

    ReloadLedger ledger;
    ledger.entries.insert(QStringLiteral("rl_seen"), now.addDays(-1));
    if (lastReloadAgoS >= 0)
        ledger.lastReloadAt = now.addSecs(-lastReloadAgoS);
    ReloadRequest request;
    request.reloadId = reloadId;
    request.expiresAt = now.addSecs(expiresInS);
    request.kinds = kinds;
    request.minVersion = minVersion;
    QCOMPARE(reloadVerdictName(reloadVerdict(request, ledger, now, "qt", playerVersion)),
             reloadVerdictName(verdict));
}

void TestRuntimeCompat::reloadVerdictNames()
{
    QCOMPARE(reloadVerdictName(ReloadVerdict::Act), QStringLiteral("act"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::Invalid), QStringLiteral("invalid"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::Duplicate), QStringLiteral("duplicate"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::Expired), QStringLiteral("expired"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::OtherKind), QStringLiteral("other_kind"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::VersionCurrent), QStringLiteral("version_current"));
    QCOMPARE(reloadVerdictName(ReloadVerdict::RateLimited), QStringLiteral("rate_limited"));

    // A request parsed from bad fields is judged invalid, not dropped unseen.
    const auto bad = parseReload(reloadEvent({{"reload_id", 5}}));
    QVERIFY(bad);
    QCOMPARE(reloadVerdict(*bad, {}, now, "qt", "1"), ReloadVerdict::Invalid);
}

void TestRuntimeCompat::ledgerKeepsAWeekAndAtMost64()
{
    ReloadLedger ledger;
    ledger.record("old", now.addDays(-8));
    ledger.record("recent", now.addDays(-6));
    ledger.record("now", now);
    QVERIFY(!ledger.contains("old"));
    QVERIFY(ledger.contains("recent"));
    QCOMPARE(ledger.lastReloadAt, now);

    ReloadLedger full;
    for (int i = 0; i < 70; ++i)
        full.record(QStringLiteral("id%1").arg(i), now.addSecs(i));
    QCOMPARE(full.entries.size(), qsizetype(64));
    for (int i = 0; i < 6; ++i)
        QVERIFY(!full.contains(QStringLiteral("id%1").arg(i)));
    QVERIFY(full.contains("id6") && full.contains("id69"));
    // A request recorded again moves to the newest time and survives.
    full.record("id6", now.addSecs(100));
    full.record("fresh", now.addSecs(101));
    QVERIFY(full.contains("id6"));
    QVERIFY(!full.contains("id7"));
}

QTEST_GUILESS_MAIN(TestRuntimeCompat)
#include "tst_runtimecompat.moc"
