#pragma once

// The rules of content downloads, apart from the controller that carries them out: what to make
// of a response head, which failures are worth a back-off, how bytes are counted in the transfer
// ledger. Content bytes come from outside: nothing here trusts the origin's word about sizes
// or ranges beyond what the manifest declared.

#include "storage/StorageTransferLedger.h"

#include <QByteArray>
#include <QNetworkReply>

#include <optional>

namespace talvorine {

// One content request as its handlers see it.
struct MediaDownloadState {
    // Bytes already in the partial file when the request was made; 0 once the origin sends the
    // whole object.
    qint64 resumeOffset = 0;
    qint64 receivedBytes = 0;
    bool accepted = false;
    // The answer was refused or a write failed; no more bytes are taken.
    bool rejected = false;
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
    RejectDropPartial, // 416: the partial does not fit what the origin holds
};

// A 206 must continue exactly at the offset, end at the declared size and say so; any
// encoding but identity is refused, since the bytes could never hash to the digest.
TransferHead judgeTransferHead(const TransferHeadFacts& head);

// Failures that say the origin could not be reached or went quiet (no HTTP answer, a dropped
// or timed-out connection), as opposed to an answer that was wrong. Qt ends a body that went
// silent with OperationCanceledError from its own transfer timeout; only an abort the player
// made itself (rejectedByPlayer) is not that.
bool transferTransient(int statusCode, QNetworkReply::NetworkError error, bool rejectedByPlayer);

// The finished handler reads the last bytes through the same path as readyRead, and an error
// status has already ended the reply on its own: neither may be aborted again.
void stopReply(QNetworkReply* reply);

// The response's Content-Length; -1 when it is present but unreadable (it can then never match
// the one expected).
std::optional<qint64> contentLengthOf(const QNetworkReply& reply);

// Refetch for an object evicted earlier, repair for one whose stored copy failed, else new.
StorageTransferLedger::Reason transferLedgerReason(bool evicted, bool repair);

// The candidate back-off delay from the jittered exponential one: 1 ms to 15 minutes.
qint64 clampDownloadBackoffMs(qint64 backoffMs);

} // namespace talvorine
