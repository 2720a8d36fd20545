#pragma once

#include <QColor>
#include <QHash>
#include <QString>

namespace talvorine {

// The colours of the player's own chrome (ground, ink, banners, toasts and status levels),
// read once from the token file kept in the program's resources.
class ChromeTokens {
public:
    static constexpr const char* contractVersion = "talvorine.chrome/v3";
    static constexpr const char* resourcePath = ":/chrome/tokens.json";
    // Read when the program was built without the token resource.
    static constexpr const char* fallbackPath = "/usr/share/talvorine-player/chrome/tokens.json";

    static ChromeTokens& instance();

    ChromeTokens(QString primaryPath, QString secondaryPath);
    ChromeTokens(const ChromeTokens&) = delete;
    ChromeTokens& operator=(const ChromeTokens&) = delete;

    // Reads the token file on the first call; every later call returns that first result.
    bool load(QString* error = nullptr);
    bool loaded() const { return attempted_ && ok_; }

    QColor ground() const { return colors_.value(QStringLiteral("ground")); }
    QColor ink() const { return colors_.value(QStringLiteral("ink")); }
    QColor inkBright() const { return colors_.value(QStringLiteral("inkBright")); }
    QColor inkMuted() const { return colors_.value(QStringLiteral("inkMuted")); }
    QColor bannerPlate() const { return colors_.value(QStringLiteral("bannerPlate")); }
    QColor bannerTextOnPlate() const { return colors_.value(QStringLiteral("bannerTextOnPlate")); }

    // Colours of the overlay's levels "error", "alert" and "info"; an invalid colour for any
    // other level, and for every level before a successful load.
    QColor levelOnGround(const QString& level) const { return onGround_.value(level); }
    QColor toastFill(const QString& level) const { return toastFill_.value(level); }

private:
    QString primaryPath_;
    QString secondaryPath_;
    bool attempted_ = false;
    bool ok_ = false;
    QString error_;
    QHash<QString, QColor> colors_;
    QHash<QString, QColor> onGround_;
    QHash<QString, QColor> toastFill_;
};

} // namespace talvorine
