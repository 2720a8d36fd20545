#pragma once

#include <QtGlobal>

#include <limits>

namespace talvorine {

// Records that a peer can cause at will (a refused toast, an ignored event) would otherwise let
// it rotate everything else out of a size-capped log. Per kind of record, the first of each
// second is written, carrying the count of those of its kind folded since the last one written;
// the rest of that second is only counted.
struct RecordFold {
    static constexpr qint64 windowMs = 1000;

    // The open window ends here; nothing is open before the first record.
    qint64 windowEndsMs = std::numeric_limits<qint64>::min();
    qint64 folded = 0;
};

struct RecordFoldStep {
    RecordFold next;
    bool write = false;
    // Records of this kind left out since the last one written; written with this one.
    qint64 folded = 0;
};

// A clock stepped back before the open window starts opens a new one: a window is never
// stretched by a wall-clock correction.
RecordFoldStep foldRecord(const RecordFold& fold, qint64 nowMs);

} // namespace talvorine
