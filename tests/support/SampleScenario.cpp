#include "tests/support/SampleScenario.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include <zlib.h>

namespace talvorine::test {

namespace {

constexpr qint64 maxPictureBytes = 1073741824;
// The smallest picture (a 16 by 9 field of colour) and one padding chunk's framing.
constexpr qint64 minPictureBytes = 113;
constexpr qint64 chunkFraming = 12; // length, type and CRC
// Decoders refuse an ancillary chunk of more than a few megabytes: padding goes in slices.
constexpr qint64 paddingSlice = 1024 * 1024;

class Reader {
public:
    bool ok() const { return failure.isEmpty(); }
    void fail(const QString& where, const QString& what)
    {
        if (ok())
            failure = where + QStringLiteral(": ") + what;
    }

    // An object of the known members only: a misspelt key would otherwise change nothing
    // without a word.
    QJsonObject object(const QJsonValue& value, const QString& where, std::initializer_list<const char*> known)
    {
        if (!value.isObject())
            fail(where, QStringLiteral("an object is expected"));
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (std::none_of(known.begin(), known.end(),
                             [&it](const char* key) { return it.key() == QLatin1String(key); }))
                fail(where, QStringLiteral("unknown member \"%1\"").arg(it.key()));
        }
        return object;
    }

    QJsonArray array(const QJsonObject& object, const char* key, const QString& where, bool required)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if ((required || !value.isUndefined()) && (!value.isArray() || value.toArray().isEmpty()))
            fail(where + QLatin1Char('.') + QLatin1String(key), QStringLiteral("a non-empty array is expected"));
        return value.toArray();
    }

    // Milliseconds from a number of seconds, nothing when the member is absent.
    std::optional<qint64> seconds(const QJsonObject& object, const char* key, const QString& where)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return std::nullopt;
        const double s = value.toDouble(-1);
        if (!value.isDouble() || !std::isfinite(s) || s < 0 || s > 1e7) {
            fail(where + QLatin1Char('.') + QLatin1String(key),
                 QStringLiteral("a number of seconds from 0 to 10000000 is expected"));
            return std::nullopt;
        }
        return qint64(std::llround(s * 1000));
    }

    std::optional<qint64> whole(const QJsonObject& object, const char* key, const QString& where,
                                qint64 least, qint64 most)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return std::nullopt;
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number != std::floor(number) || number < double(least)
            || number > double(most)) {
            fail(where + QLatin1Char('.') + QLatin1String(key),
                 QStringLiteral("a whole number from %1 to %2 is expected").arg(least).arg(most));
            return std::nullopt;
        }
        return qint64(number);
    }

    std::optional<bool> flag(const QJsonObject& object, const char* key, const QString& where)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return std::nullopt;
        if (!value.isBool()) {
            fail(where + QLatin1Char('.') + QLatin1String(key), QStringLiteral("true or false is expected"));
            return std::nullopt;
        }
        return value.toBool();
    }

    QString name(const QJsonObject& object, const char* key, const QString& where)
    {
        static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9_-]{1,64}\\z"));
        const QString text = object.value(QLatin1String(key)).toString();
        if (!pattern.match(text).hasMatch())
            fail(where + QLatin1Char('.') + QLatin1String(key),
                 QStringLiteral("1 to 64 letters, digits, '-' or '_' are expected"));
        return text;
    }

    QString failure;
};

QString at(const QString& where, qsizetype index)
{
    return QStringLiteral("%1[%2]").arg(where).arg(index);
}

} // namespace

std::optional<SampleScenario> SampleScenario::load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the scenario %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    std::optional<SampleScenario> scenario = parse(file.readAll(), error);
    if (!scenario)
        *error = QStringLiteral("scenario %1: %2").arg(path, *error);
    return scenario;
}

std::optional<SampleScenario> SampleScenario::parse(const QByteArray& json, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    Reader read;
    SampleScenario scenario;
    if (!document.isObject())
        read.fail(QStringLiteral("scenario"), QStringLiteral("an object is expected"));
    const QJsonObject root = read.object(document.object(), QStringLiteral("scenario"),
                                         {"dwell", "revisions", "faults", "portal", "reloads", "replay"});
    if (const auto dwell = read.seconds(root, "dwell", QStringLiteral("scenario")))
        scenario.dwellMs = int(std::max<qint64>(*dwell, 1000));

    QHash<QString, ScenarioPicture> named; // every picture by its name
    const QJsonArray revisions = read.array(root, "revisions", QStringLiteral("scenario"), true);
    for (qsizetype r = 0; r < revisions.size() && read.ok(); ++r) {
        const QString where = at(QStringLiteral("revisions"), r);
        const QJsonObject object = read.object(revisions.at(r), where, {"at", "after_manifest", "pages"});
        ScenarioRevision revision;
        const std::optional<qint64> atMs = read.seconds(object, "at", where);
        const std::optional<qint64> afterMs = read.seconds(object, "after_manifest", where);
        if (r == 0 && (atMs || afterMs))
            read.fail(where, QStringLiteral("the first revision is published at the start"));
        if (r > 0 && atMs.has_value() == afterMs.has_value())
            read.fail(where, QStringLiteral("either \"at\" or \"after_manifest\" is expected"));
        revision.atMs = atMs.value_or(afterMs.value_or(0));
        revision.afterManifest = afterMs.has_value();
        QSet<QString> ids;
        bool content = false;
        const QJsonArray pages = read.array(object, "pages", where, true);
        for (qsizetype p = 0; p < pages.size() && read.ok(); ++p) {
            const QString pageWhere = where + QLatin1Char('.') + at(QStringLiteral("pages"), p);
            const QJsonObject pageObject = read.object(pages.at(p), pageWhere,
                                                         {"id", "bytes", "decodes", "pictures", "adslot",
                                                          "application"});
            ScenarioPage page;
            page.id = read.name(pageObject, "id", pageWhere);
            if (ids.contains(page.id))
                read.fail(pageWhere, QStringLiteral("page \"%1\" is already in the revision").arg(page.id));
            ids.insert(page.id);
            page.adslot = read.flag(pageObject, "adslot", pageWhere).value_or(false);
            const std::optional<qint64> bytes =
                read.whole(pageObject, "bytes", pageWhere, minPictureBytes, maxPictureBytes);
            const std::optional<bool> decodes = read.flag(pageObject, "decodes", pageWhere);
            if (decodes && !bytes)
                read.fail(pageWhere + QStringLiteral(".decodes"), QStringLiteral("goes with \"bytes\""));
            const QJsonArray pictures = read.array(pageObject, "pictures", pageWhere, false);
            const QJsonValue application = pageObject.value(QLatin1String("application"));
            if (!application.isUndefined() && application != QJsonValue(QStringLiteral("never_ready")))
                read.fail(pageWhere + QStringLiteral(".application"), QStringLiteral("\"never_ready\" is expected"));
            page.application = application.toString();
            if (int(bytes.has_value()) + int(!pictures.isEmpty()) + int(page.adslot)
                    + int(!page.application.isEmpty())
                != 1)
                read.fail(pageWhere, QStringLiteral("one of \"bytes\", \"pictures\", \"adslot\" or "
                                                    "\"application\" is expected"));
            if (bytes)
                page.pictures.append({page.id, *bytes, decodes.value_or(true)});
            for (qsizetype i = 0; i < pictures.size() && read.ok(); ++i) {
                const QString pictureWhere = pageWhere + QLatin1Char('.') + at(QStringLiteral("pictures"), i);
                const QJsonObject pictureObject = read.object(pictures.at(i), pictureWhere,
                                                                {"name", "bytes", "decodes"});
                const QString name = read.name(pictureObject, "name", pictureWhere);
                const std::optional<qint64> size =
                    read.whole(pictureObject, "bytes", pictureWhere, minPictureBytes, maxPictureBytes);
                if (!size)
                    read.fail(pictureWhere, QStringLiteral("\"bytes\" is expected"));
                page.pictures.append({name, size.value_or(0),
                                      read.flag(pictureObject, "decodes", pictureWhere).value_or(true)});
            }
            for (const ScenarioPicture& picture : std::as_const(page.pictures)) {
                // A name is one object: generated from its name, size and whether it decodes, it
                // has one of each only.
                const ScenarioPicture first = named.value(picture.name, picture);
                if (first.bytes != picture.bytes)
                    read.fail(pageWhere, QStringLiteral("picture \"%1\" is given two sizes").arg(picture.name));
                if (first.decodes != picture.decodes)
                    read.fail(pageWhere, QStringLiteral("picture \"%1\" decodes in one place only").arg(picture.name));
                named.insert(picture.name, picture);
            }
            content = content || !page.adslot;
            revision.pages.append(page);
        }
        if (read.ok() && !content)
            read.fail(where, QStringLiteral("a page with pictures is expected"));
        scenario.revisions.append(revision);
    }

    const QJsonArray faults = read.array(root, "faults", QStringLiteral("scenario"), false);
    for (qsizetype f = 0; f < faults.size() && read.ok(); ++f) {
        const QString where = at(QStringLiteral("faults"), f);
        const QJsonObject object = read.object(
            faults.at(f), where, {"object", "from", "until", "answer", "retry_after", "rate"});
        ScenarioFault fault;
        fault.object = object.value(QLatin1String("object")).toString();
        if (fault.object != QLatin1String("*") && !named.contains(fault.object))
            read.fail(where + QStringLiteral(".object"),
                      QStringLiteral("a picture's name or \"*\" is expected"));
        fault.fromMs = read.seconds(object, "from", where).value_or(0);
        fault.untilMs = read.seconds(object, "until", where).value_or(fault.untilMs);
        if (fault.untilMs <= fault.fromMs)
            read.fail(where, QStringLiteral("\"until\" comes after \"from\""));
        const QJsonValue answer = object.value(QLatin1String("answer"));
        static const QStringList kinds{"close", "silent", "corrupt", "cut"};
        if (answer.isDouble() && answer.toInt() >= 400 && answer.toInt() <= 599
            && answer.toDouble() == answer.toInt())
            fault.answer = QString::number(answer.toInt());
        else if (kinds.contains(answer.toString()))
            fault.answer = answer.toString();
        else if (!answer.isUndefined())
            read.fail(where + QStringLiteral(".answer"),
                      QStringLiteral("\"close\", \"silent\", \"corrupt\", \"cut\" or a status from "
                                     "400 to 599 is expected"));
        fault.retryAfterS = int(read.whole(object, "retry_after", where, 0, 86400).value_or(-1));
        if (fault.retryAfterS >= 0 && fault.answer.toInt() == 0)
            read.fail(where + QStringLiteral(".retry_after"), QStringLiteral("goes with a status"));
        fault.bytesPerSecond = read.whole(object, "rate", where, 1, maxPictureBytes).value_or(0);
        if (fault.answer.isEmpty() && fault.bytesPerSecond == 0)
            read.fail(where, QStringLiteral("\"answer\" or \"rate\" is expected"));
        scenario.faults.append(fault);
    }

    // One window, or a list of them: a network that comes and goes.
    const QJsonValue portalValue = root.value(QLatin1String("portal"));
    const bool portalList = portalValue.isArray();
    QJsonArray portals;
    if (portalList)
        portals = read.array(root, "portal", QStringLiteral("scenario"), true);
    else if (!portalValue.isUndefined())
        portals.append(portalValue);
    for (qsizetype i = 0; i < portals.size() && read.ok(); ++i) {
        const QString where = portalList ? at(QStringLiteral("portal"), i) : QStringLiteral("portal");
        const QJsonObject object = read.object(portals.at(i), where, {"from", "until", "redirect"});
        ScenarioPortal portal;
        portal.fromMs = read.seconds(object, "from", where).value_or(0);
        portal.untilMs = read.seconds(object, "until", where).value_or(0);
        portal.redirect = read.flag(object, "redirect", where).value_or(false);
        if (portal.untilMs <= portal.fromMs)
            read.fail(where, QStringLiteral("\"until\" comes after \"from\""));
        if (!scenario.portals.isEmpty() && portal.fromMs < scenario.portals.constLast().untilMs)
            read.fail(where, QStringLiteral("\"from\" comes at or after the window before ends"));
        scenario.portals.append(portal);
    }

    scenario.replay = read.flag(root, "replay", QStringLiteral("scenario")).value_or(true);

    const QJsonArray reloads = read.array(root, "reloads", QStringLiteral("scenario"), false);
    for (qsizetype i = 0; i < reloads.size() && read.ok(); ++i) {
        const QString where = at(QStringLiteral("reloads"), i);
        const QJsonObject object = read.object(reloads.at(i), where, {"at", "ttl", "spread"});
        ScenarioReload reload;
        const std::optional<qint64> atMs = read.seconds(object, "at", where);
        const std::optional<qint64> ttlMs = read.seconds(object, "ttl", where);
        if (!atMs || !ttlMs)
            read.fail(where, QStringLiteral("\"at\" and \"ttl\" are expected"));
        reload.atMs = atMs.value_or(0);
        reload.ttlMs = ttlMs.value_or(0);
        reload.spreadS = int(read.whole(object, "spread", where, 0, 3600).value_or(0));
        scenario.reloads.append(reload);
    }

    if (!read.ok()) {
        *error = read.failure;
        return std::nullopt;
    }
    return scenario;
}

std::optional<FakeRuntimeService::ContentAnswer> SampleScenario::answerFor(const QString& object,
                                                                           qint64 atMs) const
{
    QString answer;
    int retryAfterS = -1;
    qint64 rate = 0;
    // The first fault in the file that gives an answer answers; the first that gives a rate paces.
    for (const ScenarioFault& fault : faults) {
        if ((fault.object != object && fault.object != QLatin1String("*")) || atMs < fault.fromMs
            || atMs >= fault.untilMs)
            continue;
        if (answer.isEmpty() && !fault.answer.isEmpty()) {
            answer = fault.answer;
            retryAfterS = fault.retryAfterS;
        }
        if (rate == 0)
            rate = fault.bytesPerSecond;
    }
    if (answer.isEmpty() && rate == 0)
        return std::nullopt;
    using Fault = FakeRuntimeService::Fault;
    FakeRuntimeService::ContentAnswer content;
    if (answer == QLatin1String("close"))
        content.fault = Fault::Close;
    else if (answer == QLatin1String("silent"))
        content.fault = Fault::Silent;
    else if (answer == QLatin1String("cut"))
        content.fault = Fault::DropMidBody;
    else if (answer == QLatin1String("corrupt"))
        content.corrupt = true;
    else if (!answer.isEmpty())
        content.status = answer.toInt();
    if (retryAfterS >= 0)
        content.headers.append({"Retry-After", QByteArray::number(retryAfterS)});
    if (rate > 0) {
        // Ten slices a second; a rate below ten bytes a second sends one byte at a time.
        content.trickleBytes = int(std::max<qint64>(1, rate / 10));
        content.trickleIntervalMs = rate >= 10 ? 100 : int(1000 / rate);
    }
    return content;
}

QByteArray paddedPicture(const QByteArray& png, qint64 bytes)
{
    const qint64 pad = bytes - png.size();
    if (png.size() < chunkFraming || (pad != 0 && pad < chunkFraming))
        return {};
    QByteArray out(bytes, '\0');
    const qint64 headLength = png.size() - chunkFraming; // all but the closing IEND chunk
    std::memcpy(out.data(), png.constData(), size_t(headLength));
    const qint64 slices = pad == 0 ? 0 : (pad + paddingSlice + chunkFraming - 1) / (paddingSlice + chunkFraming);
    qint64 data = pad - slices * chunkFraming;
    char* write = out.data() + headLength;
    for (qint64 i = 0; i < slices; ++i) {
        const qint64 length = data / (slices - i);
        data -= length;
        qToBigEndian(quint32(length), write);
        std::memcpy(write + 4, "paDd", 4);
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(write + 4), uInt(4 + length));
        qToBigEndian(quint32(crc), write + 8 + length);
        write += chunkFraming + length;
    }
    std::memcpy(write, png.constData() + headLength, size_t(chunkFraming));
    return out;
}

} // namespace talvorine::test
