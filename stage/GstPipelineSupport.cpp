#include "stage/GstPipelineSupport.h"

#include <QMetaObject>
#include <algorithm>
#include <cmath>

namespace talvorine::gstsupport {

namespace {

struct RelayTarget {
    QObject* receiver = nullptr;
    quint64 generation = 0;
    std::function<void(quint64, GstMessage*)> handler;
};

// Runs on whichever thread posted the message. The receiver outlives every poster: it brings
// the pipeline to NULL and detaches the relay before it dies; a call still queued then is
// dropped by Qt with its context object.
GstBusSyncReply relayMessage(GstBus*, GstMessage* message, gpointer data)
{
    auto* target = static_cast<RelayTarget*>(data);
    QObject* receiver = target->receiver;
    // A handler that drops a message owns it.
    MessagePtr owned(message, MessageUnref{});
    const quint64 generation = target->generation;
    auto handler = target->handler;
    QMetaObject::invokeMethod(
        receiver, [handler, generation, owned] { handler(generation, owned.get()); },
        Qt::QueuedConnection);
    return GST_BUS_DROP;
}

void deleteRelayTarget(gpointer data)
{
    delete static_cast<RelayTarget*>(data);
}

} // namespace

bool hasFactory(const char* name)
{
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory)
        return false;
    gst_object_unref(factory);
    return true;
}

ElementPtr makeElement(const char* factory, const char* name)
{
    GstElement* element = gst_element_factory_make(factory, name);
    if (!element)
        return {};
    // Floating references would be sunk by whichever bin takes the element; holding our own
    // reference keeps ownership simple for elements that never reach a bin.
    gst_object_ref_sink(element);
    return ElementPtr(element);
}

void installBusRelay(GstElement* pipeline, QObject* receiver, quint64 generation,
                     std::function<void(quint64, GstMessage*)> handler)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    auto* target = new RelayTarget{receiver, generation, std::move(handler)};
    gst_bus_set_sync_handler(bus, relayMessage, target, deleteRelayTarget);
    gst_object_unref(bus);
}

void clearBusRelay(GstElement* pipeline)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
}

void releasePipeline(ElementPtr& pipeline)
{
    if (!pipeline)
        return;
    // playbin3 of GStreamer 1.22 can deadlock when it is shut down while its type finding is
    // announcing the stream; letting a start that is under way settle first (a local file
    // takes a few milliseconds) closes that window for everything but slow streams.
    gst_element_get_state(pipeline.get(), nullptr, nullptr, settleBeforeReleaseMs * GST_MSECOND);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    clearBusRelay(pipeline.get());
    pipeline.reset();
}

double clampGain(double gain)
{
    if (!std::isfinite(gain))
        return gain > 0 ? 1.0 : 0.0;
    return std::clamp(gain, 0.0, 1.0);
}

} // namespace talvorine::gstsupport
