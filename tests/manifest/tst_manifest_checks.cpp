// The shared value checks, address rules, colours, drop-code mapping and the unknown-key log
// of the manifest parser, each against a table of accepted and refused values.

#include "manifest/ContractColor.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestParsing.h"
#include "manifest/ObjectEnterPolicy.h"
#include "manifest/ObjectMotionPolicy.h"
#include "manifest/PageTransitionRules.h"
#include "manifest/ScheduleContract.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <limits>

using namespace talvorine;
namespace mp = talvorine::ManifestParsing;

namespace {

QJsonValue json(const char* text)
{
    // Wrap in an array so that scalars parse too.
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text + "]");
    return doc.array().at(0);
}

const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));

QStringList debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
}

} // namespace

class tst_manifest_checks : public QObject {
    Q_OBJECT

private slots:
    void boundedInteger_data();
    void boundedInteger();
    void finiteNumber_data();
    void finiteNumber();
    void idAndSha_data();
    void idAndSha();
    void contentAddress_data();
    void contentAddress();
    void applicationOrigin_data();
    void applicationOrigin();
    void mediaSelector_data();
    void mediaSelector();
    void contractDropCode_data();
    void contractDropCode();
    void canonicalColour_data();
    void canonicalColour();
    void linearBackground_data();
    void linearBackground();
    void backgroundRoundTrip();
    void vocabularies_data();
    void vocabularies();
    void weekdays();
    void unknownKeysLoggedOncePerPath();
    void unknownKeysCappedPerDocument();
    void unknownKeyPathsAreCapped();
};

void tst_manifest_checks::boundedInteger_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("low bound") << "0" << 0 << 1024 << true;
    QTest::newRow("high bound") << "1024" << 0 << 1024 << true;
    QTest::newRow("whole written as fraction") << "7.0" << 0 << 1024 << true;
    QTest::newRow("below") << "-1" << 0 << 1024 << false;
    QTest::newRow("above") << "1025" << 0 << 1024 << false;
    QTest::newRow("fraction") << "7.5" << 0 << 1024 << false;
    QTest::newRow("numeric string") << "\"7\"" << 0 << 1024 << false;
    QTest::newRow("boolean") << "true" << 0 << 1024 << false;
    QTest::newRow("null") << "null" << 0 << 1024 << false;
    QTest::newRow("huge") << "1e300" << 0 << 1024 << false;
    QTest::newRow("negative huge") << "-1e300" << -5 << 5 << false;
    QTest::newRow("tiny fraction") << "5e-324" << 0 << 1 << false;
    QTest::newRow("one day") << "86400000" << 1000 << 86400000 << true;
}

void tst_manifest_checks::boundedInteger()
{
    QFETCH(QString, value);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(bool, accepted);
    QCOMPARE(mp::boundedInteger(json(value.toUtf8().constData()), low, high), accepted);
}

void tst_manifest_checks::finiteNumber_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("finite");
    QTest::addColumn<bool>("positive");
    QTest::newRow("zero") << QJsonValue(0) << true << false;
    QTest::newRow("smallest positive") << QJsonValue(std::numeric_limits<double>::denorm_min())
                                       << true << true;
    QTest::newRow("largest") << QJsonValue(std::numeric_limits<double>::max()) << true << true;
    QTest::newRow("negative") << QJsonValue(-3.5) << true << false;
    QTest::newRow("digits in a string") << QJsonValue(QStringLiteral("12")) << false << false;
    QTest::newRow("infinity") << QJsonValue(std::numeric_limits<double>::infinity()) << false << false;
    QTest::newRow("nan") << QJsonValue(std::numeric_limits<double>::quiet_NaN()) << false << false;
    QTest::newRow("bool") << QJsonValue(true) << false << false;
}

void tst_manifest_checks::finiteNumber()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, finite);
    QFETCH(bool, positive);
    QCOMPARE(mp::finiteNumber(value), finite);
    QCOMPARE(mp::finiteNumber(value, 0.0, true), positive);
}

void tst_manifest_checks::idAndSha_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("isId");
    QTest::addColumn<bool>("isSha");
    QTest::addColumn<bool>("isTrackId");
    const QString hex = QString(64, QLatin1Char('a'));
    QTest::newRow("mixed id") << QJsonValue(QStringLiteral("a.B:c-d_9")) << true << false << false;
    QTest::newRow("digit first") << QJsonValue(QStringLiteral("9lives")) << true << false << false;
    QTest::newRow("160 chars") << QJsonValue(QString(160, QLatin1Char('x'))) << true << false << false;
    QTest::newRow("161 chars") << QJsonValue(QString(161, QLatin1Char('x'))) << false << false << false;
    QTest::newRow("empty") << QJsonValue(QString()) << false << false << false;
    QTest::newRow("blank") << QJsonValue(QStringLiteral("a b")) << false << false << false;
    QTest::newRow("id trailing line feed") << QJsonValue(QStringLiteral("abc\n")) << false << false << false;
    QTest::newRow("id leading line feed") << QJsonValue(QStringLiteral("\nabc")) << false << false << false;
    QTest::newRow("number") << QJsonValue(12) << false << false << false;
    QTest::newRow("sha") << QJsonValue(hex) << true << true << true;
    QTest::newRow("sha trailing line feed") << QJsonValue(hex + QLatin1Char('\n')) << false << false << false;
    QTest::newRow("sha upper case") << QJsonValue(hex.toUpper()) << true << false << true;
    QTest::newRow("sha 63 digits") << QJsonValue(hex.left(63)) << true << false << true;
    QTest::newRow("track 64 chars") << QJsonValue(QString(64, QLatin1Char('t'))) << true << false << true;
    QTest::newRow("track 65 chars") << QJsonValue(QString(65, QLatin1Char('t'))) << true << false << false;
    QTest::newRow("track with dot") << QJsonValue(QStringLiteral("t.1")) << true << false << false;
    QTest::newRow("track trailing line feed") << QJsonValue(QStringLiteral("t1\n")) << false << false << false;
}

void tst_manifest_checks::idAndSha()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, isId);
    QFETCH(bool, isSha);
    QFETCH(bool, isTrackId);
    QCOMPARE(mp::id(value), isId);
    QCOMPARE(mp::sha(value), isSha);
    QCOMPARE(value.isString() && mp::trackId(value.toString()), isTrackId);
}

void tst_manifest_checks::contentAddress_data()
{
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<bool>("accepted");
    const QString c = QStringLiteral("/content/");
    QTest::newRow("path") << "/content/media/a.png" << c << true;
    QTest::newRow("path with query") << "/content/a.png?v=3" << c << true;
    QTest::newRow("relative to origin root") << "content/a.png" << c << true;
    QTest::newRow("absolute same origin") << "https://runtime.talvorine.test/content/a" << c << true;
    QTest::newRow("explicit default port") << "https://runtime.talvorine.test:443/content/a" << c << true;
    QTest::newRow("host case") << "https://RUNTIME.talvorine.test/content/a" << c << true;
    QTest::newRow("other port") << "https://runtime.talvorine.test:8443/content/a" << c << false;
    QTest::newRow("other host") << "https://cdn.talvorine.test/content/a" << c << false;
    QTest::newRow("other scheme") << "http://runtime.talvorine.test/content/a" << c << false;
    QTest::newRow("user info") << "https://me@runtime.talvorine.test/content/a" << c << false;
    QTest::newRow("fragment") << "/content/a#x" << c << false;
    QTest::newRow("dot dot") << "/content/../runtime/a" << c << false;
    QTest::newRow("single dot") << "/content/./a" << c << false;
    QTest::newRow("encoded dot dot") << "/content/%2e%2e/runtime/a" << c << false;
    QTest::newRow("encoded slash") << "/content/a%2Fb" << c << false;
    QTest::newRow("encoded slash lower") << "/content/a%2fb" << c << false;
    QTest::newRow("encoded backslash") << "/content/a%5cb" << c << false;
    QTest::newRow("backslash") << "/content/a\\b" << c << false;
    QTest::newRow("outside prefix") << "/runtime/v1/a" << c << false;
    QTest::newRow("prefix case") << "/Content/a" << c << false;
    QTest::newRow("prefix without slash") << "/contentx/a" << c << false;
    QTest::newRow("launch address") << "/runtime/v1/apps/x" << QStringLiteral("/runtime/") << true;
    QTest::newRow("empty") << "" << c << false;
    // The player was started with a user and password in its origin, which it leaves out.
    QTest::newRow("relative, under user information") << "content/a.png" << c << true;
    QTest::newRow("path, under user information") << "/content/a.png" << c << true;
    QTest::newRow("absolute with it, under user information")
        << "https://me:pw@runtime.talvorine.test/content/a" << c << false;
}

void tst_manifest_checks::contentAddress()
{
    QFETCH(QString, reference);
    QFETCH(QString, prefix);
    QFETCH(bool, accepted);
    QUrl given = origin;
    if (QByteArray(QTest::currentDataTag()).endsWith("under user information"))
        given.setUserInfo(QStringLiteral("me:pw"));
    QCOMPARE(mp::credentialOriginUrl(reference, given, prefix), accepted);
}

void tst_manifest_checks::applicationOrigin_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    const QString host = mp::applicationHost();
    const QString local = mp::localApplicationHost();
    QTest::newRow("public") << "https://menu." + host << true;
    QTest::newRow("public slash") << "https://menu." + host + "/" << true;
    QTest::newRow("public upper case") << "https://MENU." + host.toUpper() << true;
    QTest::newRow("public explicit 443") << "https://menu." + host + ":443" << false;
    QTest::newRow("public path") << "https://menu." + host + "/app" << false;
    QTest::newRow("public query") << "https://menu." + host + "/?a=1" << false;
    QTest::newRow("public fragment") << "https://menu." + host + "/#a" << false;
    QTest::newRow("public user") << "https://u@menu." + host << false;
    QTest::newRow("two labels") << "https://a.menu." + host << false;
    QTest::newRow("bare host") << "https://" + host << false;
    QTest::newRow("label leading hyphen") << "https://-menu." + host << false;
    QTest::newRow("label trailing hyphen") << "https://menu-." + host << false;
    QTest::newRow("label 63") << "https://" + QString(63, QLatin1Char('a')) + "." + host << true;
    QTest::newRow("label 64") << "https://" + QString(64, QLatin1Char('a')) + "." + host << false;
    QTest::newRow("public over http") << "http://menu." + host << false;
    QTest::newRow("localhost") << "http://localhost" << true;
    QTest::newRow("localhost port") << "http://localhost:5173/" << true;
    QTest::newRow("loopback") << "http://127.0.0.1:8080" << true;
    QTest::newRow("localhost https") << "https://localhost" << false;
    QTest::newRow("local label") << "http://menu." + local + ":3000" << true;
    QTest::newRow("local label https") << "https://menu." + local << false;
    QTest::newRow("other scheme") << "ftp://menu." + host << false;
    QTest::newRow("empty") << "" << false;
}

void tst_manifest_checks::applicationOrigin()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QCOMPARE(mp::releaseOrigin(text), accepted);
}

void tst_manifest_checks::mediaSelector_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("all") << R"({"by":"all","oneAtATime":true})" << true;
    QTest::newRow("all without flag") << R"({"by":"all"})" << false;
    QTest::newRow("flag as number") << R"({"by":"all","oneAtATime":1})" << false;
    QTest::newRow("id") << R"({"by":"id","mediaId":"m1","oneAtATime":false})" << true;
    QTest::newRow("id one at a time") << R"({"by":"id","mediaId":"m1","oneAtATime":true})" << false;
    QTest::newRow("id missing") << R"({"by":"id","oneAtATime":false})" << false;
    QTest::newRow("ids") << R"({"by":"ids","mediaIds":["a","b"],"oneAtATime":true})" << true;
    QTest::newRow("ids empty") << R"({"by":"ids","mediaIds":[],"oneAtATime":true})" << false;
    QTest::newRow("ids repeated") << R"({"by":"ids","mediaIds":["a","a"],"oneAtATime":true})" << false;
    QTest::newRow("ids number") << R"({"by":"ids","mediaIds":["a",1],"oneAtATime":true})" << false;
    QTest::newRow("tag") << R"({"by":"tag","tag":"News24","oneAtATime":false})" << true;
    QTest::newRow("tag 33") << QString::fromLatin1(R"({"by":"tag","tag":"%1","oneAtATime":false})")
                                   .arg(QString(33, QLatin1Char('t'))) << false;
    QTest::newRow("tag line feed") << R"({"by":"tag","tag":"news\n","oneAtATime":false})" << false;
    QTest::newRow("tag hyphen") << R"({"by":"tag","tag":"top-news","oneAtATime":false})" << false;
    QTest::newRow("unknown by") << R"({"by":"All","oneAtATime":false})" << false;
    QTest::newRow("extra keys") << R"({"by":"all","oneAtATime":false,"sort":"name"})" << true;
    QTest::newRow("not an object") << R"("all")" << false;
}

void tst_manifest_checks::mediaSelector()
{
    QFETCH(QString, selector);
    QFETCH(bool, accepted);
    QCOMPARE(mp::validMediaSelector(json(selector.toUtf8().constData())), accepted);
}

void tst_manifest_checks::contractDropCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("contract");
    QTest::newRow("kind") << "content_type_unsupported" << "unknown_primitive_kind";
    QTest::newRow("advance") << "advance_mode_unknown" << "unknown_advance_mode";
    QTest::newRow("background") << "background_unknown" << "unknown_background";
    QTest::newRow("transition") << "transition_type_unknown" << "unknown_transition_type";
    QTest::newRow("visibility key") << "visibility_key_unknown" << "unknown_visibility_key";
    QTest::newRow("visibility") << "visibility_invalid" << "invalid_visibility";
    QTest::newRow("enter type") << "enter_type_unknown" << "unknown_enter_type";
    QTest::newRow("enter") << "enter_invalid" << "invalid_enter";
    QTest::newRow("motion type") << "motion_type_unknown" << "unknown_motion_type";
    QTest::newRow("motion") << "motion_invalid" << "invalid_motion";
    QTest::newRow("motion kind") << "motion_not_allowed_for_primitive" << "invalid_motion";
    QTest::newRow("media item") << "media_item_invalid" << "invalid_media_item";
    QTest::newRow("stream protocol") << "stream_protocol_unknown" << "unknown_stream_protocol";
    QTest::newRow("stream source") << "stream_source_invalid" << "unknown_stream_protocol";
    QTest::newRow("version") << "manifest_version_unexpected" << "manifest_version_unexpected";
    QTest::newRow("track") << "audio_track_invalid" << "invalid_audio_track";
    QTest::newRow("cue") << "audio_cue_invalid" << "invalid_audio_cue";
    QTest::newRow("primitive prefix") << "primitive_rect_invalid" << "invalid_primitive";
    QTest::newRow("primitive count") << "primitive_count_invalid" << "invalid_primitive";
    QTest::newRow("binding suffix") << "iframe_binding_invalid" << "invalid_primitive";
    QTest::newRow("media binding") << "media_binding_invalid" << "invalid_primitive";
    QTest::newRow("stream timing") << "stream_timing_invalid" << "invalid_primitive";
    QTest::newRow("stream sources") << "stream_sources_invalid" << "invalid_primitive";
    QTest::newRow("content fit") << "content_fit_invalid" << "invalid_primitive";
    QTest::newRow("intrinsic size") << "media_intrinsic_size_invalid" << "invalid_primitive";
    QTest::newRow("web count") << "web_primitive_count_invalid" << "invalid_primitive";
    QTest::newRow("page") << "page_invalid" << "invalid_page";
    QTest::newRow("duplicate") << "page_id_duplicate" << "invalid_page";
    QTest::newRow("canvas") << "canvas_invalid" << "invalid_page";
    QTest::newRow("transition invalid") << "transition_invalid" << "invalid_page";
    QTest::newRow("page count") << "page_count_invalid" << "invalid_page";
    QTest::newRow("adslot") << "adslot_unsupported" << "invalid_page";
    QTest::newRow("empty") << "" << "invalid_page";
    QTest::newRow("case sensitive") << "Primitive_invalid" << "invalid_page";
}

void tst_manifest_checks::contractDropCode()
{
    QFETCH(QString, code);
    QFETCH(QString, contract);
    QCOMPARE(talvorine::contractDropCode(code), contract);
}

void tst_manifest_checks::canonicalColour_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("canonical");
    QTest::addColumn<QColor>("colour");
    const QColor black(0, 0, 0, 255);
    QTest::newRow("red half") << "#FF000080" << true << QColor(255, 0, 0, 128);
    QTest::newRow("mixed") << "#1A2B3CFF" << true << QColor(0x1A, 0x2B, 0x3C, 0xFF);
    QTest::newRow("lower case") << "#1a2b3cff" << false << black;
    QTest::newRow("six digits") << "#1A2B3C" << false << black;
    QTest::newRow("no hash") << "1A2B3CFF00" << false << black;
    QTest::newRow("trailing line feed") << "#1A2B3CFF\n" << false << black;
    QTest::newRow("empty") << "" << false << black;
}

void tst_manifest_checks::canonicalColour()
{
    QFETCH(QString, text);
    QFETCH(bool, canonical);
    QFETCH(QColor, colour);
    QCOMPARE(ContractColor::isCanonical(text), canonical);
    const QByteArray bytes = text.toUtf8();
    QCOMPARE(CanvasBackgroundRules::canonicalColor(std::string_view(bytes.constData(), bytes.size())),
             canonical);
    QCOMPARE(ContractColor::fromCanonical(text), colour);
    QCOMPARE(parseCanvasBackground(QJsonValue(text)).has_value(), canonical);
}

void tst_manifest_checks::linearBackground_data()
{
    QTest::addColumn<QString>("background");
    QTest::addColumn<bool>("accepted");
    const auto stops = [](std::initializer_list<double> positions) {
        QStringList parts;
        for (double at : positions)
            parts.append(QStringLiteral("{\"at\":%1,\"color\":\"#000000FF\"}").arg(at));
        return QStringLiteral("{\"type\":\"linear\",\"stops\":[%1]}").arg(parts.join(QLatin1Char(',')));
    };
    QTest::newRow("two") << stops({0, 1}) << true;
    QTest::newRow("three") << stops({0, 0.3, 1}) << true;
    QTest::newRow("eight") << stops({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 1}) << true;
    QTest::newRow("one") << stops({0}) << false;
    QTest::newRow("nine") << stops({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 1}) << false;
    QTest::newRow("not increasing") << stops({0, 0.5, 0.5, 1}) << false;
    QTest::newRow("first not zero") << stops({0.1, 1}) << false;
    QTest::newRow("last not one") << stops({0, 0.99}) << false;
    QTest::newRow("at as string")
        << R"({"type":"linear","stops":[{"at":"0","color":"#000000FF"},{"at":1,"color":"#000000FF"}]})"
        << false;
    QTest::newRow("lower colour")
        << R"({"type":"linear","stops":[{"at":0,"color":"#000000ff"},{"at":1,"color":"#000000FF"}]})"
        << false;
    QTest::newRow("radial")
        << R"({"type":"radial","stops":[{"at":0,"color":"#000000FF"},{"at":1,"color":"#000000FF"}]})"
        << false;
    QTest::newRow("no stops") << R"({"type":"linear"})" << false;
    QTest::newRow("stops object") << R"({"type":"linear","stops":{}})" << false;
    QTest::newRow("with angle")
        << R"({"type":"linear","angle":45,"stops":[{"at":0,"color":"#000000FF"},{"at":1,"color":"#FFFFFFFF"}]})"
        << true;
    QTest::newRow("number") << "5" << false;
}

void tst_manifest_checks::linearBackground()
{
    QFETCH(QString, background);
    QFETCH(bool, accepted);
    const std::optional<CanvasBackground> parsed = parseCanvasBackground(json(background.toUtf8().constData()));
    QCOMPARE(parsed.has_value(), accepted);
    if (parsed) {
        QCOMPARE(parsed->kind, 1);
        QCOMPARE(parsed->color, QStringLiteral("#000000FF"));
        QVERIFY(validCanvasBackground(*parsed));
    }
}

void tst_manifest_checks::backgroundRoundTrip()
{
    const QByteArray text =
        R"({"type":"linear","stops":[{"at":0,"color":"#000000FF"},{"at":0.25,"color":"#10203040"},{"at":1,"color":"#FFFFFFFF"}]})";
    const std::optional<CanvasBackground> parsed = parseCanvasBackground(json(text.constData()));
    QVERIFY(parsed);
    QCOMPARE(canvasBackgroundJson(*parsed), json(text.constData()));
    QCOMPARE(parseCanvasBackground(canvasBackgroundJson(*parsed))->stops.size(), 3);

    CanvasBackground broken = *parsed;
    broken.stops[1].color = QStringLiteral("#1020304");
    QVERIFY(!validCanvasBackground(broken));
    CanvasBackground solid;
    QVERIFY(validCanvasBackground(solid));
    QCOMPARE(canvasBackgroundJson(solid), QJsonValue(QStringLiteral("#000000FF")));
    solid.color = QStringLiteral("#000000ff");
    QVERIFY(!validCanvasBackground(solid));
}

void tst_manifest_checks::vocabularies_data()
{
    QTest::addColumn<QString>("vocabulary");
    QTest::addColumn<QString>("word");
    QTest::addColumn<bool>("accepted");
    for (const char* word : {"slow", "medium", "fast"})
        QTest::addRow("speed %s", word) << "speed" << word << true;
    for (const char* word : {"Slow", "slow ", "", "brisk"})
        QTest::addRow("speed '%s'", word) << "speed" << word << false;
    for (const char* word : {"once", "loop", "ping-pong"})
        QTest::addRow("loop %s", word) << "loop" << word << true;
    for (const char* word : {"Loop", "pingpong", ""})
        QTest::addRow("loop '%s'", word) << "loop" << word << false;
    for (const char* word : {"left", "right", "up", "down", "none"})
        QTest::addRow("drift %s", word) << "drift" << word << true;
    for (const char* word : {"Left", "north", ""})
        QTest::addRow("drift '%s'", word) << "drift" << word << false;
    for (const char* word : {"fade-in", "fade-up", "fade-down", "fade-left", "fade-right", "zoom-in",
                             "zoom-out"})
        QTest::addRow("enter %s", word) << "enter" << word << true;
    for (const char* word : {"fade", "Fade-in", ""})
        QTest::addRow("enter '%s'", word) << "enter" << word << false;
    QTest::newRow("enter with line feed") << "enter" << "zoom-in\n" << false;
    for (const char* word : {"crossfade", "swipe-left", "swipe-right", "swipe-up", "swipe-down"})
        QTest::addRow("transition %s", word) << "transition" << word << true;
    for (const char* word : {"Crossfade", "swipe-left ", "wipe", ""})
        QTest::addRow("transition '%s'", word) << "transition" << word << false;
}

void tst_manifest_checks::vocabularies()
{
    QFETCH(QString, vocabulary);
    QFETCH(QString, word);
    QFETCH(bool, accepted);
    const QByteArray bytes = word.toUtf8();
    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    bool result = false;
    if (vocabulary == QLatin1String("speed"))
        result = ObjectMotionPolicy::validSpinSpeed(view);
    else if (vocabulary == QLatin1String("loop"))
        result = ObjectMotionPolicy::validPathLoop(view);
    else if (vocabulary == QLatin1String("drift"))
        result = ObjectMotionPolicy::validDriftDirection(view);
    else if (vocabulary == QLatin1String("enter"))
        result = ObjectEnterPolicy::validType(view);
    else
        result = PageTransitionRules::validType(view);
    QCOMPARE(result, accepted);
    if (vocabulary == QLatin1String("transition"))
        QCOMPARE(PageTransitionRules::isSwipe(view), accepted && word.startsWith(QLatin1String("swipe")));
}

void tst_manifest_checks::weekdays()
{
    QCOMPARE(parseWeekday(QStringLiteral("mon")), std::optional<Weekday>(Weekday::mon));
    QCOMPARE(parseWeekday(QStringLiteral("sun")), std::optional<Weekday>(Weekday::sun));
    QVERIFY(!parseWeekday(QStringLiteral("Mon")));
    QVERIFY(!parseWeekday(QStringLiteral("monday")));
    QCOMPARE(previousWeekday(Weekday::mon), Weekday::sun);
    QCOMPARE(previousWeekday(Weekday::sun), Weekday::sat);
    QCOMPARE(ScheduleContract::minutesOfDay(QStringLiteral("23:59")), 1439);
    QCOMPARE(ScheduleContract::minutesOfDay(QStringLiteral("00:00")), 0);
}

void tst_manifest_checks::unknownKeysLoggedOncePerPath()
{
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    const QJsonObject canvas{{QStringLiteral("width"), 1}, {QStringLiteral("border"), 2}};
    const QSet<QString> allowed{QStringLiteral("width")};
    mp::noteUnknownKeys(canvas, allowed, QStringLiteral("pages[0].canvas"));
    mp::noteUnknownKeys(canvas, allowed, QStringLiteral("pages[0].canvas"));
    mp::noteUnknownKeys(canvas, allowed, QStringLiteral("pages[1].canvas"));
    qInstallMessageHandler(previous);
    QCOMPARE(debugLines, (QStringList{
                             QStringLiteral("manifest unknown key ignored: pages[0].canvas.border"),
                             QStringLiteral("manifest unknown key ignored: pages[1].canvas.border")}));
}

namespace {

// A minimal valid document whose only page carries the given extra keys.
QByteArray documentWithPageKeys(const QJsonObject& extra)
{
    const QJsonObject media = QJsonDocument::fromJson(R"({
        "mediaId": "m1", "src": "/content/media/m1", "bytes": 1000, "contentType": "image/png",
        "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
        "intrinsicSize": {"width": 1920, "height": 1080}})").object();
    QJsonObject page = QJsonDocument::fromJson(R"({
        "contractVersion": "talvorine.canvas/v1", "id": "p1",
        "canvas": {"width": 1920, "height": 1080, "viewportFit": "contain"},
        "transition": {"type": "crossfade", "durationMs": 500},
        "advance": {"mode": "duration", "afterMs": 10000},
        "primitives": [{"id": "i", "primitive": "image", "layer": 0, "contentFit": "contain",
                        "rect": {"x": 0, "y": 0, "width": 960, "height": 540},
                        "selector": {"by": "all", "oneAtATime": false}, "grantId": "g1"}]})").object();
    QJsonArray primitives = page.value(QLatin1String("primitives")).toArray();
    QJsonObject primitive = primitives.at(0).toObject();
    primitive.insert(QStringLiteral("resolvedMedia"), QJsonArray{media});
    primitives.replace(0, primitive);
    page.insert(QStringLiteral("primitives"), primitives);
    for (auto it = extra.begin(); it != extra.end(); ++it)
        page.insert(it.key(), it.value());
    QJsonObject document = QJsonDocument::fromJson(R"({
        "schemaVersion": 2, "manifestRevision": "rev-1", "grantId": "g1", "contentGeneration": 1,
        "screenId": "screen-1", "screenLabel": "Lobby", "playlistRevision": 1,
        "generatedAt": "2026-12-07T08:00:00Z"})").object();
    document.insert(QStringLiteral("pages"), QJsonArray{page});
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

} // namespace

void tst_manifest_checks::unknownKeysCappedPerDocument()
{
    // One revision full of unknown keys takes only its share of the process-wide set: the
    // next revision's new key is still logged.
    QJsonObject flood;
    for (int i = 0; i < 5000; ++i)
        flood.insert(QStringLiteral("flood%1").arg(i), i);
    const int before = mp::reportedUnknownKeyPathCount();
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));
    const ManifestParseResult first = ManifestParser::parse(documentWithPageKeys(flood), origin);
    const int afterFirst = mp::reportedUnknownKeyPathCount();
    const qsizetype firstLines = debugLines.size();
    debugLines.clear();
    const ManifestParseResult second =
        ManifestParser::parse(documentWithPageKeys({{QStringLiteral("later"), 1}}), origin);
    qInstallMessageHandler(previous);

    QVERIFY(std::holds_alternative<Manifest>(first));
    QCOMPARE(std::get<Manifest>(first).pages.size(), 1);
    QCOMPARE(afterFirst - before, mp::unknownKeyPathsPerDocument);
    QCOMPARE(firstLines, qsizetype(mp::unknownKeyPathsPerDocument));
    QVERIFY(std::holds_alternative<Manifest>(second));
    QCOMPARE(debugLines, QStringList{QStringLiteral("manifest unknown key ignored: pages[0].later")});
    QCOMPARE(mp::reportedUnknownKeyPathCount(), afterFirst + 1);
}

void tst_manifest_checks::unknownKeyPathsAreCapped()
{
    // Keys come from the server: however many distinct paths arrive, the set stops growing.
    QJsonObject object;
    for (int i = 0; i < 600; ++i)
        object.insert(QStringLiteral("k%1").arg(i), i);
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    for (int round = 0; round < 12; ++round)
        mp::noteUnknownKeys(object, {}, QStringLiteral("pages[%1]").arg(round));
    QCOMPARE(mp::reportedUnknownKeyPathCount(), mp::unknownKeyPathCap);
    debugLines.clear();
    mp::noteUnknownKeys(object, {}, QStringLiteral("pages[99]"));
    qInstallMessageHandler(previous);
    QCOMPARE(mp::reportedUnknownKeyPathCount(), mp::unknownKeyPathCap);
    QVERIFY(debugLines.isEmpty());
}

QTEST_GUILESS_MAIN(tst_manifest_checks)
#include "tst_manifest_checks.moc"
