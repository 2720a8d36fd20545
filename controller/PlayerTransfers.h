#pragma once

// The rules of content downloads, apart from the controller that carries them out: what to make
// of a response head, which failures are worth a back-off, how bytes are counted in the transfer
// ledger. Content bytes come from outside: nothing here trusts the origin's word about sizes
// or ranges beyond what the manifest declared.

#include "storage/StorageTransferLedger.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <functional>
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
};

enum class TransferHead {
    Accept,            // the body continues the partial file (or starts it)
    RestartWhole,      // the whole object although a range was asked: the partial goes
    Reject,            // refused; the partial stays for a later resume
    RejectMismatch,    // a 206 whose range or length does not fit the declared size
    RejectDropPartial, // 416: the partial does not fit what the origin holds
};

// A 206 must continue exactly at the offset, end at the declared size and say so; any
// encoding but identity is refused, since the bytes could never hash to the digest.
TransferHead judgeTransferHead(const TransferHeadFacts& head);

// The object's bytes are not what its entry declares: marked while reading, or a body that ended
// cleanly short of the declared size. Such a failure is the object's, never the device's: it is
// retried once like any hard failure, then the object's page is skipped.
bool transferMismatch(const MediaDownloadState& state, QNetworkReply::NetworkError error,
                      qint64 totalBytes);

// The code a candidate's object is skipped with after its second hard failure: a mismatch is
// the cache's own word for bytes that are not the entry's, a page failure; anything else is
// the download's, on which the player holds what plays.
QString transferFailureCode(bool mismatch);

// Failures that say the origin could not be reached or went quiet (no HTTP answer, a dropped
// or timed-out connection), as opposed to an answer that was wrong. Qt ends a body that went
// silent with OperationCanceledError from its own transfer timeout; only an abort the player
// made itself (rejectedByPlayer) is not that.
bool transferTransient(int statusCode, QNetworkReply::NetworkError error, bool rejectedByPlayer);

// The finished handler reads the last bytes through the same path as readyRead, and an error
// status has already ended the reply on its own: neither may be aborted again.
void stopReply(QNetworkReply* reply);

// "identity" bytes, so that offsets in the body are offsets in the file, and the range after the
// resumeOffset bytes already in the partial file, only while the object still has that digest.
void setResumeHeaders(QNetworkRequest& request, qint64 resumeOffset, const QString& digest);

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

// Refetch for an object evicted earlier, repair for one whose stored copy failed, else new.
StorageTransferLedger::Reason transferLedgerReason(bool evicted, bool repair);

// The candidate back-off delay from the jittered exponential one: 1 ms to 15 minutes.
qint64 clampDownloadBackoffMs(qint64 backoffMs);

} // namespace talvorine
