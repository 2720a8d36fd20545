#include "app/RecordFold.h"

namespace talvorine {

RecordFoldStep foldRecord(const RecordFold& fold, qint64 nowMs)
{
    const bool open = fold.windowEndsMs != std::numeric_limits<qint64>::min()
                      && nowMs < fold.windowEndsMs
                      && nowMs >= fold.windowEndsMs - RecordFold::windowMs;
    if (open)
        return {{fold.windowEndsMs, fold.folded + 1}, false, 0};
    return {{nowMs + RecordFold::windowMs, 0}, true, fold.folded};
}

} // namespace talvorine
