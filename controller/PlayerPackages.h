#pragma once

// The rules of web package downloads, apart from the controller that carries them out: what a
// manifest's application binding says of its package, how long a back-off lasts, and which
// failed installations leave bytes worth resuming.

#include "controller/PlayerTransfers.h"
#include "manifest/Manifest.h"
#include "web/ApplicationPackageCache.h"

#include <QByteArray>
#include <QDateTime>
#include <QNetworkReply>

namespace talvorine {

// The package digest of an application primitive; empty for any other kind.
QString applicationPackageDigest(const Primitive& primitive);

// A reply that downloads a package says so: a deadline that finds it still without an answer
// fails the candidate with the package's download code rather than the media one.
void markPackageDownload(QNetworkReply& reply);
bool isPackageDownload(const QNetworkReply& reply);
// Every content download says which object it brings, so that a deadline can tell the
// candidate's own page's objects from another page's.
void markDownloadDigest(QNetworkReply& reply, const QString& digest);
QString downloadDigest(const QNetworkReply& reply);

// The wait before the next try after a throttled or unreachable answer: the origin's
// Retry-After (seconds or an HTTP date read against its Date) kept within 1 s .. 15 min, else 1,
// 2, 4, 8, 16 s by attempt.
qint64 packageRetryDelayMs(const QByteArray& retryAfter, const QByteArray& date,
                           const QDateTime& nowUtc, int attempt);

// Whether a failed installation judged the downloaded bytes themselves (a digest or size that
// does not match, an archive the installer refuses): such bytes are no base for a resume. A
// cancelled installation or a failing disk keeps them.
bool packageBytesRefused(const QString& installError);

// Whether the installer refused an archive whose digest matched for what the archive itself
// holds (its format, names, entries or sizes): the same bytes are refused again, however often
// they are fetched. Codes a failing disk can also give are not among them.
bool packageRefusedForGood(const QString& installError);

} // namespace talvorine
