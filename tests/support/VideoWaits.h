#pragma once

#include "stage/GstVideoEngine.h"

namespace talvorine::test {

// How long a video test waits for what follows a pipeline's start (its first frame, its start,
// its end, its failure). playbin3 stalls now and then before its first frame on a busy
// machine, and the engine rebuilds such a pipeline only after GstVideoEngine::prerollStallMs.
constexpr int videoWaitMs = GstVideoEngine::prerollStallMs + 20000;

} // namespace talvorine::test
