#include "stage/FontCatalog.h"

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLoggingCategory>

namespace talvorine {

namespace {

Q_LOGGING_CATEGORY(lcFonts, "talvorine.fonts")

const QString bodyRole = QStringLiteral("body");
const QString displayRole = QStringLiteral("display");
const QString monoRole = QStringLiteral("mono");

QList<FontCatalog::Face> readCatalog(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("font_catalog_unreadable");
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        error = QStringLiteral("font_catalog_json_invalid");
        return {};
    }
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("contractVersion")).toString()
        != QLatin1String(FontCatalog::contractVersion)) {
        error = QStringLiteral("font_catalog_version_unsupported");
        return {};
    }
    QList<FontCatalog::Face> faces;
    bool body = false;
    bool display = false;
    bool mono = false;
    for (const QJsonValue& value : root.value(QStringLiteral("faces")).toArray()) {
        const QJsonObject object = value.toObject();
        const QString fileName = object.value(QStringLiteral("file")).toString();
        const QString role = object.value(QStringLiteral("role")).toString();
        if (fileName.isEmpty() || (role != bodyRole && role != displayRole && role != monoRole)) {
            error = QStringLiteral("font_catalog_face_invalid");
            return {};
        }
        body = body || role == bodyRole;
        display = display || role == displayRole;
        mono = mono || role == monoRole;
        faces.append({fileName, role});
    }
    // The scene draws with all three roles, so each needs a face of its own.
    if (!body || !display || !mono) {
        error = QStringLiteral("font_catalog_role_missing");
        return {};
    }
    return faces;
}

} // namespace

FontCatalog& FontCatalog::instance()
{
    // Deliberately without parent: it outlives the engine and the application object.
    static FontCatalog catalog{QString::fromLatin1(catalogResource)};
    return catalog;
}

FontCatalog::FontCatalog(const QString& catalogPath, QObject* parent)
    : QObject(parent),
      body_(QStringLiteral("sans-serif")),
      display_(QStringLiteral("sans-serif")),
      mono_(QStringLiteral("monospace"))
{
    faces_ = readCatalog(catalogPath, catalogError_);
}

bool FontCatalog::registerApplicationFonts()
{
    if (registered_)
        return ok_;
    registered_ = true;
    if (!catalogError_.isEmpty() || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        qCWarning(lcFonts, "font catalog unusable: %s",
                  qPrintable(catalogError_.isEmpty() ? QStringLiteral("no_gui_application")
                                                     : catalogError_));
        emit changed();
        return false;
    }
    bool all = true;
    QString body;
    QString display;
    QString mono;
    for (const Face& face : std::as_const(faces_)) {
        const int id = QFontDatabase::addApplicationFont(face.file);
        const QStringList families = id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
        if (families.isEmpty()) {
            qCWarning(lcFonts, "font face not registered: %s", qPrintable(face.file));
            all = false;
            continue;
        }
        QString& slot = face.role == bodyRole ? body : face.role == displayRole ? display : mono;
        if (slot.isEmpty())
            slot = families.constFirst();
    }
    ok_ = all;
    if (ok_) {
        body_ = body;
        display_ = display;
        mono_ = mono;
    }
    emit changed();
    return ok_;
}

} // namespace talvorine
