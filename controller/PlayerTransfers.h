#pragma once

// The rules of content downloads, apart from the controller that carries them out: what to make
// of a response head, which failures are worth a back-off, how bytes are counted in the transfer
// ledger. Content bytes come from outside: nothing here trusts the origin's word about sizes
// or ranges beyond what the manifest declared.

#include "storage/PartialDownload.h"
#include "storage/StorageTransferLedger.h"

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace talvorine {

// A background fetch whose reply brings nothing for this long is aborted, media or package.
constexpr int replacementIdleMs = 60000;

// One content request as its handlers see it.
struct MediaDownloadState {
    // Bytes already in the partial file when the request was made; 0 once the origin sends the
    // whole object.
    qint64 resumeOffset = 0;
    qint64 receivedBytes = 0;
    bool accepted = false;
    // The answer was refused or a write failed; no more bytes are taken.
    bool rejected = false;
    // The origin's bytes disagree with the size the manifest declared: a range or length that
    // does not fit it, or a body running past it.
    bool mismatch = false;
    // An HTML page answered in the object's place: not the origin's answer but a network's
    // login page or a proxy's, so no answer at all.
    bool pageInPlace = false;
    int statusCode = 0;
};

// What a response head says about the body that follows.
struct TransferHeadFacts {
    int status = 0;
    qint64 resumeOffset = 0;
    qint64 totalBytes = 0;
    QByteArray contentRange;
    std::optional<qint64> contentLength;
    QByteArray contentEncoding;
    QByteArray contentType;
};

enum class TransferHead {
    Accept,            // the body continues the partial file (or starts it)
    RestartWhole,      // the whole object although a range was asked: the partial goes
    Reject,            // refused; the partial stays for a later resume
    RejectMismatch,    // a 206 whose range or length does not fit the declared size
    RejectDropPartial, // 416: the partial does not fit what the origin holds
    RejectPage,        // an HTML page in a 2xx: no answer of the origin's; the partial stays
};

// A 206 must continue exactly at the offset, end at the declared size and say so; a whole body
// in answer to a range that declares its length must declare the object's; any encoding but
// identity is refused, since the bytes could never hash to the digest. No object is an HTML page,
// so one is taken for what a login page or proxy says in the origin's place, before anything
// else, and neither kind of refusal touches the partial.
TransferHead judgeTransferHead(const TransferHeadFacts& head);

// The object's bytes are not what its entry declares: marked while reading, or a body that ended
// cleanly short of the declared size. Such a failure is the object's, never the device's: it is
// retried once like any hard failure, then the object's page is skipped.
bool transferMismatch(const MediaDownloadState& state, QNetworkReply::NetworkError error,
                      qint64 totalBytes);

// The code a candidate's object is skipped with after its second hard failure: a mismatch is
// the cache's own word for bytes that are not the entry's, a page failure; anything else is
// the download's, on which the player holds what plays once, then passes the page over.
QString transferFailureCode(bool mismatch);

// Whether content that failed with this code may come at another try: the origin did not give
// it (an error answer, a connection refused or cut), where bytes or an entry that are wrong would
// be as wrong every time.
bool downloadMayRecover(const QString& code);

// Whether a page that failed with this code failed for want of an object (not in the cache, not
// given, or given wrong), which landing it may cure, rather than for a fault of its own: its
// layout, a decode, a bind, its renderer or its readiness.
bool failedForWantOfObject(const QString& code);

// How a failed content download is taken: one reading for media, packages and soundtrack
// tracks, whatever each then does about it.
enum class TransferFailure {
    Hard,        // an answer that was wrong, or bytes the player refused
    Unreachable, // no answer: refused, not resolved, dropped, timed out or gone silent
    Throttled,   // 429 or 503: the origin asks to be asked again later
};

// Qt ends a body that went silent with OperationCanceledError from its own transfer timeout;
// only an abort the player made itself (rejectedByPlayer: a refused head, an oversize body, a
// failed write) is not the origin's doing.
TransferFailure classifyTransferFailure(int statusCode, QNetworkReply::NetworkError error,
                                        bool rejectedByPlayer);
// The same for a download's state: a page in the object's place is no answer.
TransferFailure classifyTransferFailure(const MediaDownloadState& state,
                                        QNetworkReply::NetworkError error);

// An HTTP answer that is not the object: its origin withholds it, where no answer at all may be
// the fault of the device's own path. 429 and 503 ask to be asked later: they withhold nothing.
bool originAnsweredError(int statusCode);

// An answer only the origin itself gives: a 4xx but 408 and 429. A 5xx may be a gateway's or a
// proxy's in front of an origin that is down.
bool originRefused(int statusCode);

// Throttled or unreachable answers are asked again after a wait this many times at most; the
// next such failure counts as hard.
constexpr int lastDelayedRetryAttempt = 4;

// The wait an origin asked for with Retry-After (in ms, -1 when it asked for none) as a download
// honours it: kept within 1 s .. 15 min, and still -1 when none was asked.
qint64 honouredRetryAfterMs(qint64 retryAfterMs);

// The finished handler reads the last bytes through the same path as readyRead, and an error
// status has already ended the reply on its own: neither may be aborted again.
void stopReply(QNetworkReply* reply);

// The partial file a download writes into.
struct PartialFile {
    std::function<bool()> reset;
    std::function<bool(const QByteArray&)> append;
};

// One turn of a download's reading: the response head judged once (a refused head aborts the
// reply; a 416 drops the partial file, a whole body where a range was asked restarts it), then
// the bytes available appended. A body longer than totalBytes drops the partial file too; a failed
// write keeps what is written. Returns the count of bytes taken from the reply.
qint64 readDownload(QNetworkReply* reply, MediaDownloadState& state, qint64 totalBytes,
                    const PartialFile& partial);

// One content download into a partial file, whoever asked for it: media, a package or a
// soundtrack track. Its reply is read a read buffer at a time and each read is appended on the
// content I/O queue, to the partial file held open for the transfer and hashed as it is written;
// nothing more is read while a few read buffers wait for the write in flight, so the reply's
// bounded read buffer holds the origin back and no write waits on the GUI thread. The owner says
// what differs.
struct ContentDownload {
    // The owner still wants the bytes; otherwise the reply is stopped.
    std::function<bool()> current;
    std::function<void()> progressed;
    // The reply has finished and its last bytes are on disk; called once.
    std::function<void()> finished;
    qint64 totalBytes = 0;
    // The owner's flag when the request was made: raised once the owner cancels its work, so
    // its writes are dropped and an abort it made itself never reads as the origin's failure.
    std::shared_ptr<std::atomic<bool>> cancel;
    // Opened on the content I/O queue before the request, and touched only by this download's
    // writes there and then by its commit: the queue runs them one at a time. It goes with the
    // download, and its hash with it.
    std::shared_ptr<PartialDownload> partial;
    QPointer<QNetworkReply> reply;
    MediaDownloadState state;
    bool writing = false;
    // Read while a write was in flight, for the next one; and whether the partial goes first.
    QList<QByteArray> waiting;
    qint64 waitingBytes = 0;
    bool partialDropped = false;
    bool replyFinished = false;
    bool concluded = false;
};

// Refetch for an object evicted earlier, repair for one whose stored copy failed, else new.
StorageTransferLedger::Reason transferLedgerReason(bool evicted, bool repair);

// The candidate back-off delay from the jittered exponential one: 1 ms to 15 minutes.
qint64 clampDownloadBackoffMs(qint64 backoffMs);

// The wait before the next repair run while pages are passed over for an object their origin
// withholds: about 30 s, doubling to about 5 minutes, a little less at random so that screens
// that lost the same origin do not come back to it together.
qint64 repairRunDelayMs(int attempt);

} // namespace talvorine
