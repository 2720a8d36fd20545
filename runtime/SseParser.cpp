#include "runtime/SseParser.h"

#include "runtime/RuntimeCompat.h"

#include <algorithm>
#include <limits>

namespace talvorine {

QList<SseEvent> SseParser::push(const QByteArray& chunk)
{
    QList<SseEvent> out;
    buffer_.append(chunk);
    if (buffer_.isEmpty())
        return out;

    // Lines are consumed from a moving offset and the buffer is compacted once at the end, so a
    // chunk of many short lines costs linear time; the pending partial line is never searched
    // again, so a long line trickling in byte by byte costs linear time too.
    qsizetype start = 0;
    while (start < buffer_.size()) {
        const qsizetype feed = buffer_.indexOf('\n', std::max(start, scannedWithoutFeed_));
        if (feed < 0) {
            if (buffer_.size() - start <= pendingLineLimit)
                break;
            buffer_.clear();
            scannedWithoutFeed_ = 0;
            start = 0;
            current_.overflow = true;
            current_.data.clear();
            discarding_ = true;
            pending_ = true;
            return out;
        }
        qsizetype end = feed;
        const qsizetype lineStart = start;
        start = feed + 1;
        if (discarding_) {
            // The tail of a line that was already dropped for its length.
            discarding_ = false;
            continue;
        }
        if (end > lineStart && buffer_.at(end - 1) == '\r')
            --end;
        consumeLine(buffer_.mid(lineStart, end - lineStart), out);
    }
    buffer_.remove(0, start);
    scannedWithoutFeed_ = buffer_.size();
    return out;
}

void SseParser::reset()
{
    buffer_.clear();
    scannedWithoutFeed_ = 0;
    discarding_ = false;
    clearEvent();
}

void SseParser::clearEvent()
{
    current_ = SseEvent();
    pending_ = false;
    dataSize_ = 0;
    dataLines_ = 0;
}

void SseParser::consumeLine(const QByteArray& line, QList<SseEvent>& out)
{
    if (line.isEmpty()) {
        if (pending_)
            out.append(current_);
        clearEvent();
        return;
    }
    if (line.startsWith(':'))
        return;

    const qsizetype colon = line.indexOf(':');
    const QByteArray name = colon < 0 ? line : line.left(colon);
    QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);

    if (name == "data") {
        dataSize_ += value.size() + (dataLines_ > 0 ? 1 : 0);
        if (dataSize_ > dataLimit) {
            current_.overflow = true;
            current_.data.clear();
        } else if (current_.overflow) {
            current_.data.clear();
        } else {
            if (dataLines_ > 0)
                current_.data.append('\n');
            current_.data.append(value);
        }
        if (dataLines_ < std::numeric_limits<int>::max())
            ++dataLines_;
        pending_ = true;
    } else if (name == "event") {
        current_.event = QString::fromUtf8(value);
        pending_ = true;
    } else if (name == "id") {
        if (!value.contains('\0')) {
            current_.id = QString::fromUtf8(value);
            current_.hasId = true;
        }
        pending_ = true;
    } else if (name == "retry") {
        const qint64 retry = RuntimeCompat::parseNonNegativeDelayMs(value, 1);
        if (retry >= 0)
            current_.retryMs = int(retry);
        pending_ = true;
    }
}

} // namespace talvorine
