#include "overlay/PairingDisplay.h"

#include <QStringList>
#include <QStringView>

namespace talvorine {

namespace {

constexpr qsizetype locatorLength = 6;
constexpr qint64 expiryWindowMs = 720000;
constexpr qint64 offlineSkewMs = 120000;
constexpr qint64 offlineWindowMs = 86400000;

bool displayable(const QString& code)
{
    if (code.size() != locatorLength)
        return false;
    for (const QChar c : code) {
        if (!QLatin1String(PairingDisplay::locatorAlphabet).contains(c))
            return false;
    }
    return true;
}

// Every character a word of its own, so that a screen reader reads "A B C" and not "abc".
QString spelled(QStringView group)
{
    QStringList words;
    for (const char32_t codePoint : group.toUcs4()) {
        words.append(codePoint == U'-' ? QStringLiteral("dash")
                                       : QString::fromUcs4(&codePoint, 1));
    }
    return words.join(QLatin1Char(' '));
}

QString clockText(const QDateTime& at)
{
    return at.toLocalTime().toString(QStringLiteral("h:mmap"));
}

} // namespace

QString PairingDisplay::groupLocator(const QString& code)
{
    if (!displayable(code))
        return code;
    return code.left(3) + QLatin1Char(' ') + code.mid(3);
}

QString PairingDisplay::spokenLocator(const QString& code)
{
    if (displayable(code)) {
        return QStringLiteral("Pairing code %1, %2")
            .arg(spelled(QStringView(code).left(3)), spelled(QStringView(code).mid(3)));
    }
    return QStringLiteral("Pairing code %1").arg(spelled(code));
}

QString PairingDisplay::expiryClockTime(const QDateTime& expiresAt, const QDateTime& now)
{
    if (!expiresAt.isValid() || !now.isValid())
        return QString();
    const qint64 aheadMs = now.msecsTo(expiresAt);
    return aheadMs >= 1 && aheadMs <= expiryWindowMs ? clockText(expiresAt) : QString();
}

QString PairingDisplay::offlineSinceClock(const QDateTime& since, const QDateTime& now)
{
    if (!since.isValid() || !now.isValid() || since.toMSecsSinceEpoch() <= 0)
        return QString();
    const qint64 agoMs = since.msecsTo(now);
    return agoMs >= -offlineSkewMs && agoMs <= offlineWindowMs ? clockText(since) : QString();
}

} // namespace talvorine
