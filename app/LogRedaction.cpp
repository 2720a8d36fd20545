#include "app/LogRedaction.h"

namespace talvorine {

namespace {

const QStringList& secretFragments()
{
    static const QStringList list{
        QStringLiteral("token"),      QStringLiteral("authorization"), QStringLiteral("bearer"),
        QStringLiteral("cookie"),     QStringLiteral("session_key"),   QStringLiteral("secret"),
        QStringLiteral("password"),   QStringLiteral("credential"),    QStringLiteral("apikey"),
        QStringLiteral("api_key"),    QStringLiteral("nonce"),         QStringLiteral("pairing"),
        QStringLiteral("locator"),    QStringLiteral("signature"),     QStringLiteral("signed"),
        QStringLiteral("url"),        QStringLiteral("object_key"),    QStringLiteral("pixel"),
    };
    return list;
}

} // namespace

const QStringList& LogRedaction::fragments()
{
    return secretFragments();
}

bool LogRedaction::isSecret(const QString& key)
{
    const QString lower = key.toLower();
    // The pairing code is shown on screen to be read; it is the one "pairing" name that is public.
    if (lower == QLatin1String("pairing_code"))
        return false;
    for (const QString& fragment : secretFragments()) {
        if (lower.contains(fragment))
            return true;
    }
    return false;
}

QString LogRedaction::clip(const QString& value, int max)
{
    const int limit = max >= 1 ? max : defaultClipLength;
    return value.size() > limit ? value.left(limit) : value;
}

QHash<QString, QString> LogRedaction::sanitize(const QHash<QString, QString>& fields,
                                               SecretHandling handling)
{
    QHash<QString, QString> out;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (handling == DropSecrets && isSecret(it.key()))
            continue;
        out.insert(it.key(), clip(it.value()));
    }
    return out;
}

} // namespace talvorine
