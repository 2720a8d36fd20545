#include "web/WebSecurityPolicy.h"

#include <QList>

namespace talvorine {

namespace {

constexpr int rendererHeapLimitMb = 256;

const QList<QByteArray>& refusedSwitches()
{
    // The last three are refused outright so that an operator can never override the required
    // feature lists or the WebRTC policy, not even by repeating them.
    static const QList<QByteArray> list{
        "--allow-insecure-localhost", "--allow-running-insecure-content",
        "--disable-web-security",     "--ignore-certificate-errors",
        "--enable-features=",         "--disable-features=",
        "--force-webrtc-ip-handling-policy=",
    };
    return list;
}

} // namespace

QByteArray WebSecurityPolicy::requiredChromiumFlags()
{
    return QByteArrayLiteral(
               "--dns-prefetch-disable "
               "--force-webrtc-ip-handling-policy=disable_non_proxied_udp "
               "--enable-features=BlockInsecurePrivateNetworkRequests,"
               "BlockInsecurePrivateNetworkRequestsFromPrivate,"
               "BlockInsecurePrivateNetworkRequestsFromUnknown,"
               "PrivateNetworkAccessForNavigations,PrivateNetworkAccessForWorkers,"
               "PrivateNetworkAccessRespectPreflightResults,PrivateNetworkAccessSendPreflights "
               "--disable-features=PrivateNetworkAccessForNavigationsWarningOnly,"
               "PrivateNetworkAccessForWorkersWarningOnly "
               "--js-flags=--max-old-space-size=")
        + QByteArray::number(rendererHeapLimitMb);
}

bool WebSecurityPolicy::configureChromiumSecurityEnvironment(QByteArray flags)
{
    const QByteArray trimmed = flags.trimmed();
    for (const QByteArray& refused : refusedSwitches()) {
        if (trimmed.contains(refused))
            return false;
    }
    const QByteArray required = requiredChromiumFlags();
    const QByteArray finalFlags = trimmed.isEmpty() ? required : trimmed + ' ' + required;
    return qputenv("QTWEBENGINE_CHROMIUM_FLAGS", finalFlags);
}

} // namespace talvorine
