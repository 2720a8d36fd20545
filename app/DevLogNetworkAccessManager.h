#pragma once

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace talvorine {

// The manager all of the player's own HTTP traffic goes through. It changes one thing: every
// request it creates gets a transfer timeout, a same-origin redirect rule, a watchdog on its
// whole duration and records in the developer and operation logs.
class DevLogNetworkAccessManager : public QNetworkAccessManager {
public:
    // Requests with no timeout of their own and a manager without one get this.
    static constexpr int defaultTransferTimeoutMs = 30000;
    static constexpr int maximumRedirects = 5;
    static constexpr int minimumWatchdogMs = 1000;
    // Set to true by whoever builds a content download (media, packages, soundtrack tracks, ad
    // content): such a request runs for as long as its body keeps moving, with no watchdog on
    // its whole duration, wherever under the origin the object lives.
    static constexpr QNetworkRequest::Attribute contentDownloadAttribute =
        QNetworkRequest::Attribute(QNetworkRequest::User + 1);

    explicit DevLogNetworkAccessManager(QObject* parent = nullptr);
    ~DevLogNetworkAccessManager() override;

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;
};

} // namespace talvorine
