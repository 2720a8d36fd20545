#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace talvorine {

// One server-sent event as the stream delivered it. `data` stays raw bytes: the dispatcher
// decides how to decode it.
struct SseEvent {
    QString id;
    bool hasId = false;
    QString event;
    QByteArray data;
    int retryMs = -1;
    bool overflow = false;
};

// Turns the bytes of one event stream into events, whatever the chunking. Memory is bounded:
// an overlong line or oversized data is dropped and reported through `overflow` on the event
// it belonged to.
class SseParser {
public:
    static constexpr qsizetype pendingLineLimit = 65792;
    static constexpr qint64 dataLimit = 65536;

    QList<SseEvent> push(const QByteArray& chunk);
    void reset();
    void consumeLine(const QByteArray& line, QList<SseEvent>& out);

private:
    void clearEvent();

    QByteArray buffer_;
    // How much of the buffer is known to hold no line feed (the pending partial line).
    qsizetype scannedWithoutFeed_ = 0;
    SseEvent current_;
    bool pending_ = false;
    bool discarding_ = false;
    qint64 dataSize_ = 0;
    int dataLines_ = 0;
};

} // namespace talvorine
