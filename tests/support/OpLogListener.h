#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QTemporaryDir>

class QLocalSocket;

namespace talvorine::test {

// A collector for the operation log: a local stream socket in a temporary directory, named by
// TALVORINE_PLAYER_LOG_SOCKET while the listener lives. Reads every connection and keeps the
// complete lines it received.
class OpLogListener : public QObject {
    Q_OBJECT
public:
    explicit OpLogListener(QObject* parent = nullptr);
    ~OpLogListener() override;

    QString path() const;
    bool listening() const { return server_.isListening(); }
    // Every complete line received so far, in arrival order, line feed included.
    const QList<QByteArray>& lines() const { return lines_; }
    QList<QJsonObject> records() const;
    int connections() const { return connections_; }
    // Runs the event loop until at least count lines are in, or the timeout passes.
    bool waitForLines(int count, int timeoutMs = 5000);
    // Runs the event loop for the given time, reading what arrives.
    void drain(int ms);
    void clear() { lines_.clear(); }

private:
    void readFrom(QLocalSocket* socket);

    QTemporaryDir dir_;
    QLocalServer server_;
    QList<QByteArray> lines_;
    int connections_ = 0;
};

} // namespace talvorine::test
