// Hostile input for the manifest parser: malformed, huge, deeply nested, wrongly typed and
// randomly mutated documents. Every one must give either a manifest that keeps the parser's
// bounds or one of the four whole-document errors; nothing may crash or hang. Runs under
// AddressSanitizer in CI.

#include "manifest/Manifest.h"
#include "manifest/ManifestParsing.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

#include <malloc.h>

using namespace talvorine;

namespace {

const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));

const QSet<QString>& knownDropCodes()
{
    static const QSet<QString> codes{
        "page_count_invalid", "page_invalid", "adslot_unsupported", "page_type_unknown",
        "adslot_page_invalid", "advance_mode_unknown", "page_id_duplicate", "canvas_invalid",
        "background_unknown", "transition_invalid", "transition_type_unknown",
        "visibility_invalid", "visibility_key_unknown", "primitive_count_invalid",
        "primitive_invalid", "primitive_id_duplicate", "web_primitive_count_invalid",
        "stream_timing_invalid", "content_fit_invalid", "primitive_rect_invalid",
        "content_type_unsupported", "enter_invalid", "enter_type_unknown", "motion_invalid",
        "motion_type_unknown", "motion_not_allowed_for_primitive", "media_binding_invalid",
        "media_item_invalid", "media_codecs_ignored", "stream_binding_invalid",
        "stream_sources_invalid", "stream_source_invalid", "stream_protocol_unknown",
        "iframe_binding_invalid", "application_binding_invalid", "audio_track_invalid",
        "audio_cue_invalid"};
    return codes;
}

// What every parse must satisfy, whatever it was given. Returns an empty text when it holds.
QString violation(const ManifestParseResult& result)
{
    if (const auto* error = std::get_if<ManifestError>(&result)) {
        static const QHash<QString, QString> fatal{{"manifest_json_invalid", "$"},
                                                   {"manifest_version_unexpected", "schemaVersion"},
                                                   {"manifest_shape_invalid", "$"},
                                                   {"timezone_invalid", "timezone"}};
        if (!fatal.contains(error->code) || fatal.value(error->code) != error->path)
            return QStringLiteral("unexpected error %1 at %2").arg(error->code, error->path);
        return {};
    }
    const Manifest& manifest = std::get<Manifest>(result);
    if (manifest.pages.size() > 100 || manifest.pages.size() > manifest.sourcePageCount)
        return QStringLiteral("page count %1").arg(manifest.pages.size());
    QSet<QString> pageIds;
    for (const Page& page : manifest.pages) {
        if (pageIds.contains(page.id))
            return QStringLiteral("duplicate page %1").arg(page.id);
        pageIds.insert(page.id);
        if (page.type == PageType::adslot) {
            if (!page.primitives.isEmpty() || page.adslotId.isEmpty())
                return QStringLiteral("ad slot page %1 malformed").arg(page.id);
            continue;
        }
        if (page.primitives.isEmpty() || page.primitives.size() > 24)
            return QStringLiteral("page %1 has %2 primitives").arg(page.id).arg(page.primitives.size());
        if (!(page.canvas.width > 0) || !(page.canvas.height > 0) || !validCanvasBackground(page.canvas.background))
            return QStringLiteral("page %1 canvas").arg(page.id);
        QSet<QString> primitiveIds;
        int web = 0;
        int streams = 0;
        for (const Primitive& primitive : page.primitives) {
            if (primitiveIds.contains(primitive.id))
                return QStringLiteral("duplicate primitive %1").arg(primitive.id);
            primitiveIds.insert(primitive.id);
            if (primitive.layer < 0 || primitive.layer > 1024 || !(primitive.rect.width() > 0)
                || !(primitive.rect.height() > 0))
                return QStringLiteral("primitive %1 placement").arg(primitive.id);
            if (primitive.kind == PrimitiveKind::application || primitive.kind == PrimitiveKind::iframe)
                ++web;
            if (primitive.kind == PrimitiveKind::stream)
                ++streams;
            const QList<MediaItem> items = mediaItems(primitive);
            const bool media = primitive.kind == PrimitiveKind::image || primitive.kind == PrimitiveKind::video
                || primitive.kind == PrimitiveKind::stream;
            if (media && (items.isEmpty() || items.size() > 32))
                return QStringLiteral("primitive %1 has %2 items").arg(primitive.id).arg(items.size());
            if (primitive.enterStagger && (*primitive.enterStagger < 0 || *primitive.enterStagger > 8))
                return QStringLiteral("stagger out of range");
            if (primitive.motion && primitive.motion->points.size() > 64)
                return QStringLiteral("too many motion points");
            ManifestParser::renderDescriptor(primitive);
            mediaDwellMs(primitive);
        }
        if (web > 2 || streams > 1)
            return QStringLiteral("page %1 web %2 streams %3").arg(page.id).arg(web).arg(streams);
    }
    if (manifest.soundtrack) {
        if (manifest.soundtrack->tracks.isEmpty() || manifest.soundtrack->tracks.size() > 32)
            return QStringLiteral("soundtrack size");
        if (manifest.soundtrack->volume < 0.0 || manifest.soundtrack->volume > 1.0)
            return QStringLiteral("volume");
        for (const SoundtrackTrack& track : manifest.soundtrack->tracks) {
            if (track.durationMs < 0)
                return QStringLiteral("negative duration");
        }
    }
    for (const ManifestDrop& drop : manifest.drops) {
        if (!knownDropCodes().contains(drop.code))
            return QStringLiteral("unknown drop code %1").arg(drop.code);
        contractDropCode(drop.code);
    }
    manifestOutcomeName(manifestOutcome(manifest));
    return {};
}

// Starts a new peak of the resident set at its current size. The peak is only worth comparing
// with the plain allocator: AddressSanitizer keeps freed memory in quarantine.
bool resetPeakMemory()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    // Memory an earlier row freed but the allocator still holds would be reused unseen.
    ::malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1) {
        qWarning("cannot reset the peak resident set; memory not measured");
        return false;
    }
    return true;
#endif
}

qint64 memoryKilobytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QByteArray nested(int depth, char open, char close, const QByteArray& inner = {})
{
    return QByteArray(depth, open) + inner + QByteArray(depth, close);
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject validDocument()
{
    return QJsonDocument::fromJson(testfiles::read(QStringLiteral(TALVORINE_MANIFEST_FIXTURES "/schema3_mixed.json")))
        .object();
}

// Every place in a JSON tree, as the list of steps from the root.
using JsonPath = QList<QVariant>;

void collectPaths(const QJsonValue& value, JsonPath& prefix, QList<JsonPath>& out)
{
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            prefix.append(it.key());
            out.append(prefix);
            collectPaths(it.value(), prefix, out);
            prefix.removeLast();
        }
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            prefix.append(int(i));
            out.append(prefix);
            collectPaths(array.at(i), prefix, out);
            prefix.removeLast();
        }
    }
}

// Replaces (or, with an undefined replacement, removes) the value at the path.
QJsonValue replaced(const QJsonValue& root, const JsonPath& path, qsizetype step, const QJsonValue& with)
{
    const QVariant& key = path.at(step);
    const bool last = step == path.size() - 1;
    if (root.isObject()) {
        QJsonObject object = root.toObject();
        const QString name = key.toString();
        if (last && with.isUndefined())
            object.remove(name);
        else
            object.insert(name, last ? with : replaced(object.value(name), path, step + 1, with));
        return object;
    }
    QJsonArray array = root.toArray();
    const int index = key.toInt();
    if (index >= array.size())
        return array;
    if (last && with.isUndefined())
        array.removeAt(index);
    else
        array.replace(index, last ? with : replaced(array.at(index), path, step + 1, with));
    return array;
}

QList<QJsonValue> valueOfEveryType()
{
    return {QJsonValue(QJsonValue::Null), QJsonValue(true), QJsonValue(false), QJsonValue(0),
            QJsonValue(-1), QJsonValue(1.5), QJsonValue(1e308), QJsonValue(-1e308),
            QJsonValue(9007199254740993.0), QJsonValue(QString()), QJsonValue(QStringLiteral("x\n")),
            QJsonValue(QString(300, QLatin1Char('y'))), QJsonValue(QJsonArray{}),
            QJsonValue(QJsonObject{}), QJsonValue(QJsonArray{QJsonArray{}, QJsonObject{}}),
            QJsonValue(QJsonObject{{QStringLiteral("a"), QJsonObject{}}})};
}

// Every JSON document the tests hold: the manifest and layout fixtures, a web package's data.
QList<QByteArray> heldDocuments()
{
    QList<QByteArray> documents;
    QDirIterator files(QStringLiteral(TALVORINE_TESTS_DIR), {QStringLiteral("*.json")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext())
        documents.append(testfiles::read(files.next()));
    return documents;
}

// Where a text is judged: as the document itself, as a page past the hundred the page rules
// examine, and as a primitive past a page's 24.
QByteArray placed(int place, const QByteArray& text)
{
    const QByteArray top =
        R"({"schemaVersion":3,"manifestRevision":"r","grantId":"g","contentGeneration":1,"screenId":"s",)"
        R"("screenLabel":"","playlistRevision":1,"generatedAt":"t","pages":[)";
    if (place == 0)
        return text;
    if (place == 1)
        return top + QByteArray("{},").repeated(100) + text + "]}";
    return top + R"({"id":"p","primitives":[)" + QByteArray("{},").repeated(24) + text + "]}]}";
}

} // namespace

class tst_manifest_robustness : public QObject {
    Q_OBJECT

private slots:
    void hostileDocuments_data();
    void hostileDocuments();
    void everyTypeInEverySlot_data();
    void everyTypeInEverySlot();
    void everyPrefixOfAValidDocument();
    void randomMutations_data();
    void randomMutations();
    void refusedExactlyAsQtRefuses_data();
    void refusedExactlyAsQtRefuses();
};

void tst_manifest_robustness::hostileDocuments_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("fatalCode"); // empty: must parse as a manifest
    QTest::addColumn<int>("maxDrops"); // -1: any number
    QTest::addColumn<int>("peakMegabytes"); // 0: not measured

    const QJsonObject valid = validDocument();
    QVERIFY(!valid.isEmpty());
    const QByteArray validBytes = compact(valid);
    const auto withTop = [&valid](const QString& key, const QJsonValue& value) {
        QJsonObject copy = valid;
        copy.insert(key, value);
        return compact(copy);
    };
    // Sets a key of the primitive at (page, index); an index one past the end appends a
    // primitive built from the value's object instead.
    const auto withPrimitive = [&valid](int pageIndex, int index, const QString& key,
                                        const QJsonValue& value) {
        QJsonObject copy = valid;
        QJsonArray pages = copy.value(QLatin1String("pages")).toArray();
        QJsonObject page = pages.at(pageIndex).toObject();
        QJsonArray primitives = page.value(QLatin1String("primitives")).toArray();
        if (index == primitives.size()) {
            primitives.append(value);
        } else {
            QJsonObject primitive = primitives.at(index).toObject();
            primitive.insert(key, value);
            primitives.replace(index, primitive);
        }
        page.insert(QStringLiteral("primitives"), primitives);
        pages.replace(pageIndex, page);
        copy.insert(QStringLiteral("pages"), pages);
        return compact(copy);
    };
    const auto withFirstPrimitive = [&withPrimitive](const QString& key, const QJsonValue& value) {
        return withPrimitive(0, 0, key, value);
    };
    const QString json = QStringLiteral("manifest_json_invalid");
    const QString shape = QStringLiteral("manifest_shape_invalid");
    const QString big(50 * 1024 * 1024, QLatin1Char('a'));

    QTest::newRow("empty") << QByteArray() << json << -1 << 0;
    QTest::newRow("whitespace") << QByteArray(" \n\t ") << json << -1 << 0;
    QTest::newRow("nul bytes") << QByteArray(64, '\0') << json << -1 << 0;
    QTest::newRow("string root") << QByteArray("\"manifest\"") << json << -1 << 0;
    QTest::newRow("number root") << QByteArray("42") << json << -1 << 0;
    QTest::newRow("array root") << QByteArray("[{}]") << json << -1 << 0;
    QTest::newRow("NaN") << QByteArray("{\"schemaVersion\": NaN}") << json << -1 << 0;
    QTest::newRow("Infinity") << QByteArray("{\"schemaVersion\": Infinity}") << json << -1 << 0;
    QTest::newRow("minus Infinity") << QByteArray("{\"schemaVersion\": -Infinity}") << json << -1 << 0;
    QTest::newRow("hex number") << QByteArray("{\"schemaVersion\": 0x2}") << json << -1 << 0;
    QTest::newRow("plus sign") << QByteArray("{\"schemaVersion\": +2}") << json << -1 << 0;
    QTest::newRow("trailing comma") << QByteArray("{\"schemaVersion\": 2,}") << json << -1 << 0;
    QTest::newRow("comment") << QByteArray("{/* c */\"schemaVersion\": 2}") << json << -1 << 0;
    QTest::newRow("single quotes") << QByteArray("{'schemaVersion': 2}") << json << -1 << 0;
    QTest::newRow("two documents") << validBytes + validBytes << json << -1 << 0;
    QTest::newRow("deep arrays") << nested(200000, '[', ']') << json << -1 << 0;
    QTest::newRow("deep objects") << QByteArray("{\"a\":").repeated(200000) + "1" + QByteArray(200000, '}')
                                  << json << -1 << 0;
    QTest::newRow("deep unclosed") << QByteArray(100000, '[') << json << -1 << 0;
    QTest::newRow("invalid utf-8 in key") << QByteArray("{\"\xff\xfe\": 1}") << json << -1 << 0;
    QTest::newRow("overlong utf-8") << validBytes.left(validBytes.size() - 1) + ",\"x\":\"\xc0\xaf\"}"
                                    << json << -1 << 0;
    QTest::newRow("utf-8 surrogate") << validBytes.left(validBytes.size() - 1) + ",\"x\":\"\xed\xa0\x80\"}"
                                     << json << -1 << 0;
    QTest::newRow("lone continuation byte")
        << validBytes.left(validBytes.size() - 1) + ",\"x\":\"\x80\"}" << json << -1 << 0;
    QTest::newRow("control character in string")
        << validBytes.left(validBytes.size() - 1) + ",\"x\":\"a\x01b\"}" << QString() << -1 << 0;

    QTest::newRow("lone surrogate escape")
        << validBytes.left(validBytes.size() - 1) + ",\"x\":\"\\ud800\"}" << QString() << -1 << 0;
    QTest::newRow("huge exponent") << withTop(QStringLiteral("contentGeneration"), QJsonValue(1e308)) << QString() << -1 << 0;
    QTest::newRow("number beyond double")
        << validBytes.left(validBytes.size() - 1) + ",\"playlistRevision\":1e400}" << json << -1 << 0;
    QTest::newRow("schema beyond double")
        << QByteArray(validBytes).replace("\"schemaVersion\":3", "\"schemaVersion\":3e400") << json << -1 << 0;
    QTest::newRow("long integer")
        << validBytes.left(validBytes.size() - 1) + ",\"contentGeneration\":123456789012345678901234567890}"
        << QString() << -1 << 0;
    QTest::newRow("duplicate keys")
        << QByteArray(validBytes).replace("{\"contentGeneration\"", "{\"pages\":{},\"contentGeneration\"")
        << QString() << -1 << 0;
    QTest::newRow("50 MB revision") << withTop(QStringLiteral("manifestRevision"), big) << shape << -1 << 0;
    QTest::newRow("50 MB timezone")
        << withTop(QStringLiteral("timezone"), big) << QStringLiteral("timezone_invalid") << -1 << 0;
    QTest::newRow("50 MB label") << withTop(QStringLiteral("screenLabel"), big) << QString() << -1 << 0;
    QTest::newRow("50 MB unknown key name") << withFirstPrimitive(big, 1) << QString() << -1 << 0;
    QTest::newRow("50 MB primitive id") << withFirstPrimitive(QStringLiteral("id"), big) << QString() << -1 << 0;
    QTest::newRow("50 MB unknown value") << withFirstPrimitive(QStringLiteral("note"), big) << QString() << -1 << 0;
    QTest::newRow("deep value in binding")
        << validBytes.left(validBytes.size() - 1).replace("\"contentFit\":", "\"deep\":" + nested(1000, '[', ']') + ",\"contentFit\":")
               + "}"
        << QString() << -1 << 0;

    QJsonArray manyPages;
    for (int i = 0; i < 200000; ++i)
        manyPages.append(i);
    QTest::newRow("200000 pages") << withTop(QStringLiteral("pages"), manyPages) << QString() << -1 << 0;

    // Documents as large as the transport takes, in the shapes that cost most per byte to
    // build: what parsing builds is bounded by what the page rules keep.
    const qsizetype transportCap = 32 * 1024 * 1024 - 4096;
    const auto filledPages = [&](const std::function<QByteArray(int)>& entry) {
        QByteArray pagesText = "\"pages\":[";
        for (int i = 0; pagesText.size() + validBytes.size() < transportCap; ++i)
            pagesText += (i ? "," : "") + entry(i);
        return QByteArray(validBytes).replace("\"pages\":[", pagesText + ',');
    };
    const QByteArray barePagesToCap =
        filledPages([](int i) { return "{\"id\":\"p" + QByteArray::number(i) + "\"}"; });
    QTest::newRow("bare pages to the transport's cap") << barePagesToCap << QString() << -1 << 48;
    // Broken only in their last bytes: refused before any of the tree is built.
    QTest::newRow("bare pages to the cap, string unclosed at the end")
        << barePagesToCap.chopped(1) + ",\"tail\":\"open" << json << -1 << 64;
    QTest::newRow("bare pages to the cap, one bracket too many")
        << barePagesToCap + "]" << json << -1 << 64;
    QTest::newRow("bare pages to the cap, nested past the limit at the end")
        << barePagesToCap.chopped(1) + ",\"tail\":" + nested(1024, '[', ']') + "}" << json << -1 << 64;
    const QByteArray barePrimitives = "[" + QByteArray("{\"id\":\"a\"},").repeated(transportCap / 1200) + "{}]";
    QTest::newRow("pages of bare primitives to the transport's cap")
        << filledPages([&](int i) {
               return "{\"id\":\"q" + QByteArray::number(i) + "\",\"primitives\":" + barePrimitives + "}";
           })
        << QString() << -1 << 48;
    QTest::newRow("brackets to the transport's cap") << QByteArray(transportCap, '[') << json << -1 << 48;
    QTest::newRow("nested objects to the transport's cap")
        << QByteArray("{\"a\":").repeated(transportCap / 5) << json << -1 << 48;
    QTest::newRow("label to the transport's cap")
        << withTop(QStringLiteral("screenLabel"), QString(transportCap - validBytes.size(), u'l'))
        << QString() << -1 << 160;
    QJsonArray manyItems;
    const QJsonObject media = valid.value(QLatin1String("pages")).toArray().at(0).toObject()
                                  .value(QLatin1String("primitives")).toArray().at(0).toObject()
                                  .value(QLatin1String("resolvedMedia")).toArray().at(0).toObject();
    for (int i = 0; i < 100000; ++i)
        manyItems.append(media);
    // Entries past the walk bound of a list cost one drop together, not one each: the
    // controller logs a record per drop. One more drop may follow for the list as a whole
    // (no item kept, a cue naming a lost track).
    const int listDrops = int(ManifestParsing::listEntryBound) + 2;
    QTest::newRow("100000 media items") << withFirstPrimitive(QStringLiteral("resolvedMedia"), manyItems)
                                        << QString() << listDrops << 0;
    QJsonArray manyTracks;
    for (int i = 0; i < 100000; ++i)
        manyTracks.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("t%1").arg(i)}});
    QTest::newRow("100000 tracks")
        << withTop(QStringLiteral("audio"), QJsonObject{{QStringLiteral("tracks"), manyTracks}})
        << QString() << listDrops << 0;

    // A million two-byte entries (a 2 MB document) per list: the drop list and the memory
    // stay small.
    QJsonArray zeros;
    for (int i = 0; i < 1000000; ++i)
        zeros.append(0);
    QTest::newRow("1M media items") << withFirstPrimitive(QStringLiteral("resolvedMedia"), zeros)
                                    << QString() << listDrops << 64;
    QTest::newRow("1M stream sources") << withPrimitive(2, 0, QStringLiteral("sources"), zeros)
                                       << QString() << listDrops << 64;
    QTest::newRow("1M tracks") << withTop(QStringLiteral("audio"),
                                          QJsonObject{{QStringLiteral("tracks"), zeros}})
                               << QString() << listDrops << 64;

    // Ten million path segments in a content address: the path checks must not build a
    // string per segment.
    const QString segments = QStringLiteral("a/").repeated(10 * 1000 * 1000);
    QJsonObject longSource = media;
    longSource.insert(QStringLiteral("src"), QStringLiteral("/content/") + segments);
    QTest::newRow("20 MB media path") << withFirstPrimitive(QStringLiteral("resolvedMedia"),
                                                            QJsonArray{longSource})
                                      << QString() << 2 << 320;
    QJsonObject application =
        QJsonDocument::fromJson(testfiles::read(QStringLiteral(TALVORINE_MANIFEST_FIXTURES "/rich_document.json")))
            .object().value(QLatin1String("pages")).toArray().at(0).toObject()
            .value(QLatin1String("primitives")).toArray().at(3).toObject();
    QCOMPARE(application.value(QLatin1String("primitive")).toString(), QStringLiteral("application"));
    application.insert(QStringLiteral("launchUrl"), QStringLiteral("/runtime/") + segments);
    QTest::newRow("20 MB launch path") << withPrimitive(0, 2, QString(), application) << QString()
                                       << 1 << 320;

    // A multicast group of twenty million dots.
    const QJsonObject dots{{QStringLiteral("protocol"), QStringLiteral("udp-mpegts")},
                           {QStringLiteral("group"), QStringLiteral("239.") + QString(20 * 1000 * 1000, QLatin1Char('.'))},
                           {QStringLiteral("port"), 5000}};
    QTest::newRow("20 MB multicast group") << withPrimitive(2, 0, QStringLiteral("sources"), QJsonArray{dots})
                                           << QString() << 1 << 160;
}

void tst_manifest_robustness::hostileDocuments()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fatalCode);
    QFETCH(int, maxDrops);
    QFETCH(int, peakMegabytes);
    const bool measured = peakMegabytes > 0 && resetPeakMemory();
    const qint64 before = measured ? memoryKilobytes("VmRSS:") : 0;
    const ManifestParseResult result = ManifestParser::parse(bytes, origin, 0);
    if (measured) {
        const qint64 growth = (memoryKilobytes("VmHWM:") - before) / 1024;
        QVERIFY2(growth <= peakMegabytes,
                 qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(growth)));
    }
    const QString broken = violation(result);
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    if (fatalCode.isEmpty()) {
        const auto* error = std::get_if<ManifestError>(&result);
        QVERIFY2(!error, error ? qPrintable(error->code) : "");
    } else {
        QVERIFY(std::holds_alternative<ManifestError>(result));
        QCOMPARE(std::get<ManifestError>(result).code, fatalCode);
    }
    if (const auto* manifest = std::get_if<Manifest>(&result); manifest && maxDrops >= 0)
        QVERIFY2(manifest->drops.size() <= maxDrops,
                 qPrintable(QStringLiteral("%1 drops").arg(manifest->drops.size())));
}

void tst_manifest_robustness::everyTypeInEverySlot_data()
{
    QTest::addColumn<QString>("fixture");
    // Documents that hold every kind of element once; the larger fixtures go through the
    // random mutations instead, where the cost of a slot-by-slot sweep would not pay off.
    for (const char* name : {"rich_document", "schema3_mixed"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void tst_manifest_robustness::everyTypeInEverySlot()
{
    QFETCH(QString, fixture);
    const QJsonObject document =
        QJsonDocument::fromJson(testfiles::read(QStringLiteral(TALVORINE_MANIFEST_FIXTURES "/") + fixture
                                         + QStringLiteral(".json")))
            .object();
    QVERIFY(!document.isEmpty());
    QList<JsonPath> paths;
    JsonPath prefix;
    collectPaths(document, prefix, paths);
    QVERIFY(paths.size() > 20);
    const QList<QJsonValue> values = valueOfEveryType();
    int parsed = 0;
    for (const JsonPath& path : paths) {
        for (const QJsonValue& value : values) {
            const QByteArray bytes = compact(replaced(document, path, 0, value).toObject());
            const QString broken = violation(ManifestParser::parse(bytes, origin, 0));
            QVERIFY2(broken.isEmpty(), qPrintable(broken));
            parsed += 1;
        }
        const QByteArray without = compact(replaced(document, path, 0, QJsonValue::Undefined).toObject());
        const QString broken = violation(ManifestParser::parse(without, origin, 0));
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }
    QVERIFY(parsed > 0);
}

void tst_manifest_robustness::everyPrefixOfAValidDocument()
{
    const QByteArray bytes = compact(validDocument());
    for (qsizetype length = 0; length < bytes.size(); ++length) {
        const ManifestParseResult result = ManifestParser::parse(bytes.left(length), origin, 3);
        QVERIFY(std::holds_alternative<ManifestError>(result));
        QCOMPARE(std::get<ManifestError>(result).code, QStringLiteral("manifest_json_invalid"));
    }
    QVERIFY(std::holds_alternative<Manifest>(ManifestParser::parse(bytes, origin, 3)));
}

void tst_manifest_robustness::randomMutations_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(TALVORINE_MANIFEST_FIXTURES));
    for (const QString& name : dir.entryList({QStringLiteral("*.expected.json")}, QDir::Files, QDir::Name)) {
        const QJsonObject expect = QJsonDocument::fromJson(testfiles::read(dir.filePath(name))).object();
        if (expect.contains(QLatin1String("error")))
            continue;
        const QString base = name.chopped(int(qstrlen(".expected.json")));
        QTest::newRow(qPrintable(base)) << dir.filePath(base + QStringLiteral(".json"));
    }
}

void tst_manifest_robustness::randomMutations()
{
    QFETCH(QString, path);
    const QByteArray original = testfiles::read(path);
    const QJsonObject document = QJsonDocument::fromJson(original).object();
    QVERIFY(!document.isEmpty());
    QList<JsonPath> paths;
    JsonPath prefix;
    collectPaths(document, prefix, paths);
    const QList<QJsonValue> values = valueOfEveryType();
    // A fixed seed per fixture keeps a failure reproducible.
    QRandomGenerator random(quint32(qHash(path)) ^ 0x7a1u);

    for (int round = 0; round < 40; ++round) {
        QJsonValue mutated = document;
        const int edits = 1 + int(random.bounded(4));
        for (int edit = 0; edit < edits && !paths.isEmpty(); ++edit) {
            const JsonPath& target = paths.at(random.bounded(int(paths.size())));
            const bool remove = random.bounded(5) == 0;
            mutated = replaced(mutated, target, 0,
                               remove ? QJsonValue(QJsonValue::Undefined)
                                      : values.at(random.bounded(int(values.size()))));
        }
        const QString broken = violation(ManifestParser::parse(compact(mutated.toObject()), origin, 0));
        QVERIFY2(broken.isEmpty(), qPrintable(QStringLiteral("round %1: %2").arg(round).arg(broken)));

        // Byte-level damage too: flipped, inserted and removed bytes (invalid UTF-8 included).
        QByteArray bytes = original;
        for (int edit = 0; edit < 1 + int(random.bounded(6)) && !bytes.isEmpty(); ++edit) {
            const qsizetype at = qsizetype(random.bounded(int(bytes.size())));
            switch (random.bounded(3)) {
            case 0:
                bytes[at] = char(random.bounded(256));
                break;
            case 1:
                bytes.insert(at, char(random.bounded(256)));
                break;
            default:
                bytes.remove(at, 1 + qsizetype(random.bounded(8)));
                break;
            }
        }
        const QString damaged = violation(ManifestParser::parse(bytes, origin, 0));
        QVERIFY2(damaged.isEmpty(), qPrintable(QStringLiteral("bytes round %1: %2").arg(round).arg(damaged)));
    }
}

void tst_manifest_robustness::refusedExactlyAsQtRefuses_data()
{
    // Each held document is damaged six times: one of the texts is put after one of the bytes of
    // `after` ('^' and '$' stand for the start and the end), or the document is cut there when
    // there are no texts.
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArrayList>("texts");
    QByteArrayList controls;
    for (char c = 0; c < 32; ++c)
        controls.append(QByteArray(1, c));
    QByteArrayList deep;
    for (int depth = 1010; depth <= 1024; ++depth)
        deep.append(nested(depth, '[', ']') + ',');

    QTest::newRow("as held") << QByteArray("$") << QByteArrayList{""};
    QTest::newRow("truncated") << QByteArray() << QByteArrayList{};
    QTest::newRow("commas") << QByteArray(",[{:}]\"0123456789el")
                            << QByteArrayList{",", ",,", ", ", ",]", ",}"};
    QTest::newRow("bare words") << QByteArray(",[:") << QByteArrayList{"true,", "tru,", "null,", "nul", "True,",
                                                                      "NaN,", "x,", "false", "undefined,"};
    QTest::newRow("escapes") << QByteArray("\"") << QByteArrayList{
        "\\a", "\\x", "\\'", "\\/", "\\u12", "\\uZZZZ", "\\u00e9", "\\U0041", "\\\xc3", "\\"};
    QTest::newRow("numbers") << QByteArray(":[,") << QByteArrayList{
        "01,", "1.,", ".5,", "-.5,", "-,", "1e,", "1e+,", "1e400,", "-1e400,", "1e-400,", "2e-324,",
        "4.9e-324,", "0e400,", "+1,", "0x1,", "1.5E3,", "-0,", "1 ,", QByteArray(400, '9') + ',',
        "123456789012345678901234567890,"};
    QTest::newRow("control characters") << QByteArray("\",[{:") << controls;
    QTest::newRow("invalid utf-8") << QByteArray("\"") << QByteArrayList{
        "\xff", "\xc0\xaf", "\xed\xa0\x80", "\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xc3\xa9",
        "\xf0\x9f\x98\x80", "\xef\xbf\xbe"};
    QTest::newRow("surrogate escapes") << QByteArray("\"") << QByteArrayList{
        "\\ud800", "\\udc00", "\\ud800\\udc00", "\\uDBFF", "\\u0000"};
    // Around the limit, whatever the document's own depth and wherever it is put.
    QTest::newRow("nesting") << QByteArray("[,") << deep;
    QTest::newRow("white space") << QByteArray("^$,[{:}]") << QByteArrayList{
        " ", "\t", "\n", "\r\n", "\v", "\f", "\xc2\xa0", QByteArray(1, '\0')};
    QTest::newRow("byte order mark") << QByteArray("^ ,[{\"") << QByteArrayList{"\xef\xbb\xbf", " \xef\xbb\xbf"};
    QTest::newRow("trailing garbage") << QByteArray("$") << QByteArrayList{
        "x", QByteArray(1, '\0'), " ", "\n\t\r ", "{}", "]", "}", ",", "\xef\xbb\xbf", "//"};
}

// Whatever the parser leaves unbuilt, it refuses as not JSON exactly the documents Qt's parser
// refuses, so that no document that played before is refused now, and none Qt refuses plays.
void tst_manifest_robustness::refusedExactlyAsQtRefuses()
{
    QFETCH(QByteArray, after);
    QFETCH(QByteArrayList, texts);
    QRandomGenerator random(quint32(qHash(after)));
    for (const QByteArray& document : heldDocuments()) {
        // Places after the bytes named, the start and the end first when named.
        QList<qsizetype> places;
        if (after.contains('^'))
            places.append(0);
        if (after.contains('$'))
            places.append(document.size());
        const qsizetype named = places.size();
        for (qsizetype i = 0; i < document.size(); ++i) {
            const char c = document.at(i);
            if (after.isEmpty() || (c && c != '^' && c != '$' && after.contains(c)))
                places.append(i + 1);
        }
        for (int n = 0; n < 6 && !places.isEmpty(); ++n) {
            const qsizetype at = places.at(n < named ? n : random.bounded(int(places.size())));
            const QByteArray text = texts.isEmpty()
                ? document.left(at)
                : QByteArray(document).insert(at, texts.at(random.bounded(int(texts.size()))));
            for (int place = 0; place < 3; ++place) {
                const QByteArray bytes = placed(place, text);
                const bool json = QJsonDocument::fromJson(bytes).isObject();
                const ManifestParseResult result = ManifestParser::parse(bytes, origin, 0);
                const auto* refusal = std::get_if<ManifestError>(&result);
                const bool refused = refusal && refusal->code == QLatin1String("manifest_json_invalid");
                QVERIFY2(refused != json,
                         qPrintable(QStringLiteral("place %1, Qt takes %2: %3").arg(place).arg(json).arg(
                             QString::fromLatin1(text.left(160).toPercentEncoding(" {}[]:,\"")))));
            }
        }
    }
}

QTEST_GUILESS_MAIN(tst_manifest_robustness)
#include "tst_manifest_robustness.moc"
