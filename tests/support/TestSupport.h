#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

namespace talvorine::test {

struct ProcessResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the built player binary with the given arguments and environment and waits for it.
ProcessResult runPlayer(const QStringList& arguments, const QProcessEnvironment& environment,
                        int timeoutMs = 60000);

// Starts the program as the leader of a session of its own, the test from then on in the place
// of the init process for whatever a program leaves behind: once the program has exited, what is
// left of its session stays there, ended or not, until the test reaps it.
void startInOwnSession(QProcess& process, const QString& program, const QStringList& arguments);
// What is left of the session that leader started, "pid (name) state" each, ended ones included;
// those still running are ended, and all reaped.
QStringList endSession(qint64 leader);

// The test's own environment, with the given variables set (an empty value unsets).
QProcessEnvironment environmentWith(const QList<std::pair<QString, QString>>& changes);

// Every whole line of a JSON-lines file, parsed (a last line not yet ended is left out, as of a
// file still being written); a line that is not a JSON object fails the test.
QList<QJsonObject> readJsonLines(const QString& path);

// The records of one event name, in file order.
QList<QJsonObject> recordsOf(const QList<QJsonObject>& records, const QString& event);

// The value with the member at a dotted path ("results.0.media.bytes") set, appended at an
// array's end, or removed when the new value is undefined: one broken rule per table row.
QJsonValue withMember(const QJsonValue& node, const QString& path, const QJsonValue& value);

// Unpadded Base64url, and its lenient reading (padding and stray characters are tolerated).
QByteArray base64Url(const QByteArray& bytes);
QByteArray fromBase64Url(const QByteArray& text);

// Whether signature is a valid Ed25519 signature of message under the raw 32-byte public key.
bool verifyEd25519(const QByteArray& publicKey, const QByteArray& message,
                   const QByteArray& signature);

} // namespace talvorine::test
