#pragma once

// Small helpers shared by the media engines: owning handles for GStreamer objects and the relay
// that brings bus messages from streaming threads to the engine's own (GUI) thread.

#include <QObject>

#include <gst/gst.h>

#include <functional>
#include <initializer_list>
#include <memory>

namespace talvorine::gstsupport {

struct ObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            gst_object_unref(object);
    }
};

struct MessageUnref {
    void operator()(GstMessage* message) const
    {
        if (message)
            gst_message_unref(message);
    }
};

using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using MessagePtr = std::shared_ptr<GstMessage>;

// Whether an element factory of that name is installed.
bool hasFactory(const char* name);

// Makes an element of the factory, or null when the factory is missing or refuses.
ElementPtr makeElement(const char* factory, const char* name = nullptr);

// A bin of `chain`'s elements linked in order, with the first one's sink pad as its own, as
// playbin takes a sink. The bin takes the elements' floating references (or refs of its own);
// null when two of them cannot be linked.
GstElement* sinkBin(const char* name, std::initializer_list<GstElement*> chain);

// Every message of the pipeline's bus reaches `handler` on `receiver`'s thread, in bus order,
// tagged with `generation`; messages still queued when `receiver` dies are dropped. The handler
// is replaced by `clearBusRelay`, which must run before the pipeline is released.
void installBusRelay(GstElement* pipeline, QObject* receiver, quint64 generation,
                     std::function<void(quint64 generation, GstMessage* message)> handler);
void clearBusRelay(GstElement* pipeline);

// Detaches the relay at once, then hands the pipeline to a worker thread that brings it to NULL
// (joining its streaming threads) and releases it; a state change under way gets up to
// `settleBeforeReleaseMs` there to finish first. Returns without waiting; safe with null.
constexpr int settleBeforeReleaseMs = 1000;
void releasePipeline(ElementPtr& pipeline);
// Waits until every pipeline handed to releasePipeline is released (false on timeout); for an
// orderly exit and for tests that count what is left.
bool waitForPipelineReleases(int timeoutMs = -1);

// playbin3 "flags": only the audio stream, with the volume applied in software so that "volume"
// works whatever sink the machine has.
constexpr guint playFlagVideo = 1u << 0;
constexpr guint playFlagAudio = 1u << 1;
constexpr guint playFlagText = 1u << 2;
constexpr guint playFlagSoftVolume = 1u << 4;

double clampGain(double gain);

} // namespace talvorine::gstsupport
