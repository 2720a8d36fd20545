#include "stage/GstPipelineSupport.h"

#include <QMetaObject>
#include <QMutex>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace talvorine::gstsupport {

namespace {

// The receiver as the posting threads see it. Posting happens under the lock, and
// clearBusRelay empties the pointer under the same lock, so once the relay is cleared no thread
// (a streaming thread, or a helper such as gst_element_call_async that going to NULL does not
// join) can still be handing a call to a receiver that is about to die.
struct RelayReceiver {
    QMutex mutex;
    QObject* receiver = nullptr;
};

struct RelayTarget {
    std::shared_ptr<RelayReceiver> receiver;
    quint64 generation = 0;
    std::function<void(quint64, GstMessage*)> handler;
};

constexpr char relayReceiverKey[] = "talvorine-relay-receiver";

// Runs on whichever thread posted the message; a call still queued when the receiver dies is
// dropped by Qt with its context object.
GstBusSyncReply relayMessage(GstBus*, GstMessage* message, gpointer data)
{
    auto* target = static_cast<RelayTarget*>(data);
    // A handler that drops a message owns it.
    MessagePtr owned(message, MessageUnref{});
    const quint64 generation = target->generation;
    auto handler = target->handler;
    QMutexLocker lock(&target->receiver->mutex);
    if (QObject* receiver = target->receiver->receiver)
        QMetaObject::invokeMethod(
            receiver, [handler, generation, owned] { handler(generation, owned.get()); },
            Qt::QueuedConnection);
    return GST_BUS_DROP;
}

void deleteRelayTarget(gpointer data)
{
    delete static_cast<RelayTarget*>(data);
}

void deleteRelayReceiverHandle(gpointer data)
{
    delete static_cast<std::shared_ptr<RelayReceiver>*>(data);
}

// Pipelines on their way to NULL. Going there waits for streaming threads (and, for a stream
// still connecting, for its network timeouts), which must not hold up the GUI thread.
QThreadPool& releasePool()
{
    // Never destroyed: a release that hangs inside GStreamer must not hang the exit too.
    static auto* pool = [] {
        auto* created = new QThreadPool;
        created->setMaxThreadCount(8);
        created->setExpiryTimeout(5000);
        return created;
    }();
    return *pool;
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

GstElement* sinkBin(const char* name, std::initializer_list<GstElement*> chain)
{
    GstElement* bin = gst_bin_new(name);
    GstElement* previous = nullptr;
    for (GstElement* element : chain) {
        gst_bin_add(GST_BIN(bin), element);
        if (previous && !gst_element_link(previous, element)) {
            gst_object_unref(bin);
            return nullptr;
        }
        previous = element;
    }
    GstPad* pad = gst_element_get_static_pad(*chain.begin(), "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad));
    gst_object_unref(pad);
    return bin;
}

void installBusRelay(GstElement* pipeline, QObject* receiver, quint64 generation,
                     std::function<void(quint64, GstMessage*)> handler)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    auto shared = std::make_shared<RelayReceiver>();
    shared->receiver = receiver;
    g_object_set_data_full(G_OBJECT(bus), relayReceiverKey,
                           new std::shared_ptr<RelayReceiver>(shared), deleteRelayReceiverHandle);
    auto* target = new RelayTarget{std::move(shared), generation, std::move(handler)};
    gst_bus_set_sync_handler(bus, relayMessage, target, deleteRelayTarget);
    gst_object_unref(bus);
}

void clearBusRelay(GstElement* pipeline)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    // A poster may already be inside the old handler: it is waited for here, and later ones
    // find no receiver.
    if (auto* shared = static_cast<std::shared_ptr<RelayReceiver>*>(
            g_object_get_data(G_OBJECT(bus), relayReceiverKey))) {
        QMutexLocker lock(&(*shared)->mutex);
        (*shared)->receiver = nullptr;
    }
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
}

void releasePipeline(ElementPtr& pipeline)
{
    if (!pipeline)
        return;
    // Nothing of this pipeline reaches its owner from here on.
    clearBusRelay(pipeline.get());
    GstElement* element = pipeline.release();
    releasePool().start([element] {
        // playbin3 of GStreamer 1.22 can deadlock when it is shut down while its type finding
        // is announcing the stream; letting a start that is under way settle first (a local
        // file takes a few milliseconds) closes that window for everything but slow streams.
        gst_element_get_state(element, nullptr, nullptr, settleBeforeReleaseMs * GST_MSECOND);
        gst_element_set_state(element, GST_STATE_NULL);
        gst_object_unref(element);
    });
}

bool waitForPipelineReleases(int timeoutMs)
{
    return releasePool().waitForDone(timeoutMs);
}

double clampGain(double gain)
{
    if (!std::isfinite(gain))
        return gain > 0 ? 1.0 : 0.0;
    return std::clamp(gain, 0.0, 1.0);
}

} // namespace talvorine::gstsupport
