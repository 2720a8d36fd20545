#pragma once

// The readiness gate's rules: when a candidate whose assets are settled may go on glass, and
// what a primitive that failed in the renderer does to the candidate it belongs to.

#include <QString>

namespace talvorine {

struct ActivationFacts {
    bool adPresentation = false;
    bool adVisitAdmitted = false;
    int pendingAssets = 0;
    bool allReady = false; // every required primitive reported ready
    bool splashVisible = false;
};

enum class ActivationGate {
    AwaitAdVisit,     // an ad candidate waits until the ad path admits its visit
    DownloadsPending, // assets are still being prepared
    Splash,           // the splash retirement calls back
    AwaitRenderer,    // primitives still to report
    Activate,
};

// The checks in their order; the first that holds decides.
ActivationGate activationGate(const ActivationFacts& facts);

enum class CandidateFailure {
    SkipPrimitive,      // the page goes on without it; the last one fails the candidate
    FailCandidate,      // the page is gone
    ExternalFrameReady, // an external frame cannot report itself: it counts as ready
};

// A new revision and a renderer recovery skip whatever failed; a rotation candidate keeps an
// iframe that cannot report itself.
CandidateFailure candidateFailure(bool revisionChange, const QString& reason, bool pagePresent,
                                  bool iframe);

} // namespace talvorine
