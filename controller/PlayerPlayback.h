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

// What a failed candidate's code makes of its page. An object its origin did not give is ridden
// out once behind a page on glass (the page is held and prepared again at its next turn); failing
// again, or with nothing on glass to ride it out, the page is passed over until a background run
// lands the object, so that it keeps no other page off glass.
enum class CandidateFailureStep {
    Skip,     // the page is at fault: skipped for the revision and reported
    Hold,     // what plays stays, or the code shows with nothing on glass
    PassOver, // skipped until its object lands; reported only when the origin answered an error
};
CandidateFailureStep candidateFailureStep(const QString& code, bool pageOnGlass,
                                          bool heldBefore);

// How long a page of the revision on glass that failed on its own stays out after its failures-th
// failure: 5 minutes after the first, twice as long after each further one, at most an hour. A
// page that never works costs its failure at about 5, 15, 35 and 75 minutes, then once an hour.
qint64 ownFailureWaitMs(int failures);

// The code a page failure is reported with: the failure code when it is a plain lower-case
// word of at most 80 characters, else "page_prepare_failed".
QString pageFailureReportCode(const QString& code);

} // namespace talvorine
