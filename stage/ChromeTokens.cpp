#include "stage/ChromeTokens.h"

#include "manifest/ContractColor.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <initializer_list>

namespace talvorine {

namespace {

const std::initializer_list<const char*> colorKeys = {
    "ground", "ink", "inkBright", "inkMuted", "bannerPlate", "bannerTextOnPlate"};
const std::initializer_list<const char*> levelKeys = {"error", "alert", "info"};

// Reads one canonical colour member; false when it is missing or not canonical.
bool readColor(const QJsonObject& object, const QString& key, QColor& out)
{
    const QJsonValue value = object.value(key);
    if (!value.isString() || !ContractColor::isCanonical(value.toString()))
        return false;
    out = ContractColor::fromCanonical(value.toString());
    return true;
}

} // namespace

ChromeTokens& ChromeTokens::instance()
{
    static ChromeTokens tokens{QString::fromLatin1(resourcePath), QString::fromLatin1(fallbackPath)};
    return tokens;
}

ChromeTokens::ChromeTokens(QString primaryPath, QString secondaryPath)
    : primaryPath_(std::move(primaryPath)), secondaryPath_(std::move(secondaryPath))
{
}

bool ChromeTokens::load(QString* error)
{
    if (attempted_) {
        if (error)
            *error = error_;
        return ok_;
    }
    attempted_ = true;

    const auto fail = [&](const char* code) {
        error_ = QString::fromLatin1(code);
        if (error)
            *error = error_;
        return false;
    };

    const QString path = QFile::exists(primaryPath_) ? primaryPath_ : secondaryPath_;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail("chrome_tokens_unreadable");
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return fail("chrome_tokens_json_invalid");
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("contractVersion")).toString()
        != QLatin1String(contractVersion))
        return fail("chrome_tokens_version_unsupported");

    QHash<QString, QColor> colors;
    const QJsonObject colorObject = root.value(QStringLiteral("colors")).toObject();
    for (const char* key : colorKeys) {
        QColor color;
        if (!readColor(colorObject, QString::fromLatin1(key), color))
            return fail("chrome_tokens_color_invalid");
        colors.insert(QString::fromLatin1(key), color);
    }

    QHash<QString, QColor> onGround;
    QHash<QString, QColor> toastFill;
    const QJsonObject levels = root.value(QStringLiteral("levels")).toObject();
    for (const char* key : levelKeys) {
        const QString level = QString::fromLatin1(key);
        const QJsonObject entry = levels.value(level).toObject();
        QColor fill;
        QColor mark;
        if (!readColor(entry, QStringLiteral("toastFill"), fill)
            || !readColor(entry, QStringLiteral("onGround"), mark))
            return fail("chrome_tokens_level_invalid");
        toastFill.insert(level, fill);
        onGround.insert(level, mark);
    }

    colors_ = std::move(colors);
    onGround_ = std::move(onGround);
    toastFill_ = std::move(toastFill);
    ok_ = true;
    error_.clear();
    if (error)
        error->clear();
    return true;
}

} // namespace talvorine
