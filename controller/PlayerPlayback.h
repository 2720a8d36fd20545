#pragma once

// The rules of playback that need no controller: which page follows, and what a failed
// candidate means.

#include <QList>
#include <QString>

namespace talvorine {

struct PageRotation {
    // The first eligible index after current in manifest order, wrapping around; current itself
    // when it is the only eligible page or when none is. count is at least 1; current -1 starts
    // the search at page 0.
    static int next(int current, const QList<int>& eligible, int count);
};

// Whether a candidate failure concerns the page (skip it and prepare the next one) rather than
// the device, the session, the storage or the account (hold what plays).
bool isPagePrepareSkipCode(const QString& code);

// The code a page failure is reported with: the failure code when it is a plain lower-case
// word of at most 80 characters, else "page_prepare_failed".
QString pageFailureReportCode(const QString& code);

} // namespace talvorine
