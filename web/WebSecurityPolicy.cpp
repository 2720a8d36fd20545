#include "web/WebSecurityPolicy.h"

#include "web/TimedNameResolver.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <array>
#include <optional>

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

// Comparison text only: host case, IPv6 brackets, trailing dots and an explicit port 443 make
// no difference.
std::optional<QString> canonicalHttpsOrigin(const QUrl& url)
{
    if (!url.isValid() || url.scheme() != QLatin1String("https") || !url.userInfo().isEmpty())
        return std::nullopt;
    QString host = url.host(QUrl::FullyDecoded).toLower();
    if (host.isEmpty())
        return std::nullopt;
    if (host.startsWith(u'['))
        host.remove(0, 1);
    if (host.endsWith(u']'))
        host.chop(1);
    while (host.endsWith(u'.'))
        host.chop(1);
    if (host.isEmpty())
        return std::nullopt;
    return QStringLiteral("https://%1:%2").arg(host).arg(url.port(443));
}

// The private-use ranges (10/8, 172.16/12, 192.168/16 and IPv6 unique local addresses), which
// Qt classifies itself only from 6.6 on.
bool privateUse(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return (v4 >> 24) == 10 || (v4 >> 20) == 0xac1 || (v4 >> 16) == 0xc0a8;
    return address.protocol() == QAbstractSocket::IPv6Protocol
        && (address.toIPv6Address()[0] & 0xfe) == 0xfc;
}

bool refusedIpv4(quint32 v4)
{
    const quint32 a = v4 >> 24;
    const quint32 b = (v4 >> 16) & 0xff;
    return a == 0 || a >= 224 || a == 10 || a == 127 || (a == 100 && b >= 64 && b <= 127)
        || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168)
        || (a == 198 && (b == 18 || b == 19));
}

// The IPv4 addresses an IPv6 address carries to a gateway, which forwards to them: the
// well-known NAT64 prefix (64:ff9b::/96), SIIT's IPv4-translated form (::ffff:0:0/96), 6to4
// (2002::/16), and Teredo (2001::/32: its server, and its client with every bit inverted). Under
// the local-use NAT64 prefix (64:ff9b:1::/48) a translator may use any prefix of 48, 56, 64 or 96
// bits, each of which puts the IPv4 address elsewhere (the shorter ones around bits 64-71, which
// they leave unused): nothing in the address says which, so it is read every way. Each must be
// public as well.
QList<QHostAddress> embeddedIpv4(const Q_IPV6ADDR& bytes)
{
    const auto v4At = [&bytes](std::array<int, 4> at, quint32 mask = 0) {
        return QHostAddress((quint32(bytes[at[0]]) << 24 | quint32(bytes[at[1]]) << 16
                             | quint32(bytes[at[2]]) << 8 | quint32(bytes[at[3]]))
                            ^ mask);
    };
    const auto startsWith = [&bytes](std::initializer_list<quint8> prefix) {
        return std::equal(prefix.begin(), prefix.end(), bytes.c);
    };
    if (startsWith({0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0})
        || startsWith({0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0}))
        return {v4At({12, 13, 14, 15})};
    if (startsWith({0x00, 0x64, 0xff, 0x9b, 0x00, 0x01}))
        return {v4At({6, 7, 9, 10}), v4At({7, 9, 10, 11}), v4At({9, 10, 11, 12}),
                v4At({12, 13, 14, 15})};
    if (startsWith({0x20, 0x02}))
        return {v4At({2, 3, 4, 5})};
    if (startsWith({0x20, 0x01, 0x00, 0x00}))
        return {v4At({4, 5, 6, 7}), v4At({12, 13, 14, 15}, 0xffffffffu)};
    return {};
}

// The deprecated IPv4-compatible form (::a.b.c.d), with the unspecified and loopback addresses
// it contains: no gateway translates it, and a stack that still accepts it reaches the IPv4
// address directly, whatever it is.
bool ipv4Compatible(const Q_IPV6ADDR& bytes)
{
    return std::all_of(bytes.c, bytes.c + 12, [](quint8 byte) { return byte == 0; });
}

bool refusedHostName(const QString& h)
{
    static const QStringList exact{
        QStringLiteral("localhost"),     QStringLiteral("localhost.localdomain"),
        QStringLiteral("localhost6"),    QStringLiteral("localhost6.localdomain6"),
        QStringLiteral("ip6-localhost"), QStringLiteral("ip6-loopback"),
        QStringLiteral("broadcasthost"),
        // Cloud instance-metadata services: a generic name, three names under the internal
        // top-level label and a provider's own single label.
        QStringLiteral("metadata"),      QStringLiteral("metadata.google.internal"),
        QStringLiteral("metadata.azure.internal"), QStringLiteral("instance-data.ec2.internal"),
        QStringLiteral("instance-data"),
    };
    return exact.contains(h) || h.endsWith(QLatin1String(".localhost"))
        || h.endsWith(QLatin1String(".localhost.localdomain"))
        || h.startsWith(QLatin1String("metadata.")) || h.startsWith(QLatin1String("instance-data."))
        || h.endsWith(QLatin1String(".local"));
}

// One part of a numeric IPv4 host: "0x" hexadecimal, a leading "0" octal, otherwise decimal.
// Strict: every digit must belong to its base, so nothing that another parser would read as a
// name passes as a number.
std::optional<quint64> numericPart(QStringView part)
{
    int base = 10;
    if (part.size() >= 2 && part[0] == u'0' && (part[1] == u'x' || part[1] == u'X')) {
        base = 16;
        part = part.mid(2);
    } else if (part.size() >= 2 && part[0] == u'0') {
        base = 8;
        part = part.mid(1);
    }
    if (part.isEmpty())
        return std::nullopt;
    quint64 value = 0;
    for (const QChar c : part) {
        const char16_t u = c.toLower().unicode();
        const int digit = u >= '0' && u <= '9' ? u - '0' : u >= 'a' && u <= 'f' ? u - 'a' + 10 : 16;
        if (digit >= base)
            return std::nullopt;
        value = value * quint64(base) + quint64(digit);
        if (value > 0xffffffffu)
            return std::nullopt;
    }
    return value;
}

// The classic numeric forms of an IPv4 address: one to four parts, the last one filling the
// remaining bytes.
std::optional<quint32> numericIpv4(const QString& h)
{
    const QStringList parts = h.split(u'.', Qt::KeepEmptyParts);
    if (parts.isEmpty() || parts.size() > 4)
        return std::nullopt;
    QList<quint64> values;
    for (const QString& part : parts) {
        const std::optional<quint64> value = numericPart(part);
        if (!value)
            return std::nullopt;
        values.append(*value);
    }
    const int leading = int(values.size()) - 1;
    quint64 address = 0;
    for (int i = 0; i < leading; ++i) {
        if (values[i] > 255)
            return std::nullopt;
        address |= values[i] << (24 - 8 * i);
    }
    const quint64 last = values.last();
    if (last > (0xffffffffu >> (8 * leading)))
        return std::nullopt;
    return quint32(address | last);
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

bool WebSecurityPolicy::usesWrapper(bool uploadedApplication)
{
    return uploadedApplication;
}

QUrl WebSecurityPolicy::initialUrl(bool uploadedApplication, const QUrl& wrapperUrl,
                                   const QUrl& childUrl)
{
    return uploadedApplication ? wrapperUrl : childUrl;
}

QString WebSecurityPolicy::sandboxFlags(bool allowSameOrigin)
{
    return allowSameOrigin ? QStringLiteral("allow-scripts allow-same-origin")
                           : QStringLiteral("allow-scripts");
}

bool WebSecurityPolicy::permissionAllowed()
{
    return false;
}

bool WebSecurityPolicy::downloadAllowed()
{
    return false;
}

bool WebSecurityPolicy::popupAllowed()
{
    return false;
}

bool WebSecurityPolicy::allowedWrapper(const QUrl& url)
{
    // A "qrc" URL with a host names the same resource to Qt; no such address is the player's.
    return url.isValid() && url.scheme() == QLatin1String("qrc")
        && url.path(QUrl::FullyDecoded) == QLatin1String("/web/trusted-wrapper.html")
        && !url.hasQuery() && !url.hasFragment() && url.authority().isEmpty();
}

bool WebSecurityPolicy::allowsIframeMainFrame(const QUrl& url, const QString& assignedOrigin)
{
    const std::optional<QString> origin =
        canonicalHttpsOrigin(QUrl(assignedOrigin, QUrl::TolerantMode));
    const std::optional<QString> target = canonicalHttpsOrigin(url);
    return origin && target && *origin == *target;
}

bool WebSecurityPolicy::shouldSignalIframeReady(const QUrl& url, const QString& assignedOrigin,
                                                bool alreadySignaled)
{
    return !alreadySignaled && allowsIframeMainFrame(url, assignedOrigin);
}

bool WebSecurityPolicy::publicAddress(const QHostAddress& address)
{
    if (address.isNull() || address.isLoopback() || address.isLinkLocal() || address.isSiteLocal()
        || address.isUniqueLocalUnicast() || address.isMulticast() || privateUse(address))
        return false;
    bool isIpv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIpv4);
    if (isIpv4 && refusedIpv4(v4))
        return false;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        const QList<QHostAddress> forwarded = embeddedIpv4(bytes);
        if (ipv4Compatible(bytes)
            || !std::all_of(forwarded.begin(), forwarded.end(),
                            [](const QHostAddress& inside) { return publicAddress(inside); }))
            return false;
    }
    return address.isGlobal();
}

bool WebSecurityPolicy::publicNetworkUrl(const QUrl& url, const NameResolver& resolver)
{
    if (!url.isValid() || url.scheme() != QLatin1String("https") || !url.userInfo().isEmpty())
        return false;
    // A trailing dot names the same host; without removing it every name rule below could be
    // sidestepped and the answer left to whatever the resolver says.
    QString h = url.host(QUrl::FullyDecoded).toLower();
    while (h.endsWith(u'.'))
        h.chop(1);
    if (h.isEmpty() || refusedHostName(h))
        return false;

    QHostAddress literal;
    if (literal.setAddress(h))
        return publicAddress(literal);

    // Such a host is a number to some parsers and a name to others; never let a name server
    // decide what it is.
    static const QRegularExpression numericLooking(QStringLiteral("\\A[0-9A-Fa-fxX.]+\\z"));
    if (numericLooking.match(h).hasMatch()) {
        const std::optional<quint32> v4 = numericIpv4(h);
        return v4 && publicAddress(QHostAddress(*v4));
    }

    if (!resolver)
        return false;
    const QList<QHostAddress> addresses = resolver(h);
    return !addresses.isEmpty()
        && std::all_of(addresses.begin(), addresses.end(),
                       [](const QHostAddress& address) { return publicAddress(address); });
}

bool WebSecurityPolicy::allowedChild(const QUrl& url, const QString& assignedOrigin,
                                     bool mainFrame)
{
    if (!publicNetworkUrl(url, defaultResolver()))
        return false;
    if (mainFrame)
        return allowsIframeMainFrame(url, assignedOrigin);
    const QUrl origin(assignedOrigin, QUrl::TolerantMode);
    return url.scheme() == origin.scheme() && url.authority() == origin.authority();
}

bool WebSecurityPolicy::allowedRequest(const QUrl& url, WebRequestKind kind,
                                       const NameResolver& resolver)
{
    if (kind >= WebRequestKind::ServiceWorker)
        return false;
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("qrc") || scheme == QLatin1String("talvorine-app"))
        return kind != WebRequestKind::WebSocket;
    const QLatin1String wanted(kind == WebRequestKind::WebSocket ? "wss" : "https");
    if (scheme != wanted)
        return false;
    QUrl checked = url;
    if (kind == WebRequestKind::WebSocket)
        checked.setScheme(QStringLiteral("https"));
    return publicNetworkUrl(checked, resolver);
}

NameResolver WebSecurityPolicy::defaultResolver()
{
    static const TimedNameResolver resolver(TimedNameResolver::systemLookup);
    return resolver;
}

} // namespace talvorine
