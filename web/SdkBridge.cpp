#include "web/SdkBridge.h"

namespace talvorine::SdkBridge {

namespace generated {

// The runtime service's canonical host feature set.
const QStringList& hostFeatures()
{
    static const QStringList features{
        QStringLiteral("ready"),   QStringLiteral("log"),    QStringLiteral("event.emit"),
        QStringLiteral("page.advance"), QStringLiteral("kv.get"), QStringLiteral("kv.list"),
        QStringLiteral("kv.set"),  QStringLiteral("kv.delete"),
    };
    return features;
}

} // namespace generated

const QStringList& hostFeatures()
{
    return generated::hostFeatures();
}

} // namespace talvorine::SdkBridge
