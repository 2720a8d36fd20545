#pragma once

#include "bench/ProcessStatus.h"

#include <QCoreApplication>
#include <QQmlEngine>

#include <malloc.h>

// The heap once what the scene let go of is gone: the script's garbage collected, deferred
// deletions run, and malloc_trim leaving the resident size no freed memory malloc could give
// back. A reading taken here counts what is held, not what is waiting to be freed.
inline HeapStatus settledHeapStatus(QQmlEngine& engine)
{
    engine.collectGarbage();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    malloc_trim(0);
    return heapStatus();
}
