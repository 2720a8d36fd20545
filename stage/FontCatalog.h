#pragma once

#include <QList>
#include <QObject>
#include <QString>

namespace talvorine {

// The typefaces the player draws its own text with: openly licensed faces compiled into the
// program and listed in a catalog that names each face's role (body, display, mono). The scene
// reads the registered family names; before registration it gets generic fallbacks.
class FontCatalog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString bodyFamily READ bodyFamily NOTIFY changed)
    Q_PROPERTY(QString displayFamily READ displayFamily NOTIFY changed)
    Q_PROPERTY(QString monoFamily READ monoFamily NOTIFY changed)
    Q_PROPERTY(bool loaded READ loaded NOTIFY changed)
public:
    static constexpr const char* contractVersion = "talvorine.fonts/v1";
    static constexpr const char* catalogResource = ":/fonts/catalog.json";

    struct Face {
        QString file;
        QString role;
    };

    static FontCatalog& instance();

    // Reads the catalog at once; a catalog that cannot be read leaves no faces and makes
    // registration fail.
    explicit FontCatalog(const QString& catalogPath, QObject* parent = nullptr);

    // Registers every face of the catalog with the application font database on the first
    // call; every later call returns that first result. Needs a GUI application.
    bool registerApplicationFonts();

    QString bodyFamily() const { return body_; }
    QString displayFamily() const { return display_; }
    QString monoFamily() const { return mono_; }
    bool loaded() const { return registered_ && ok_; }

    // Empty when the catalog was usable, else the failure code of reading it.
    QString catalogError() const { return catalogError_; }
    const QList<Face>& faces() const { return faces_; }

signals:
    void changed();

private:
    QList<Face> faces_;
    QString catalogError_;
    bool registered_ = false;
    bool ok_ = false;
    QString body_;
    QString display_;
    QString mono_;
};

} // namespace talvorine
