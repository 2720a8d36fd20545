// Peak memory of the runtime client under a hostile service on loopback: an event stream and a
// manifest of 2 GiB without a line feed, sent faster than the client reads, while the GUI
// thread is stalled for 2 s and then reads on. Each run reports the growth of the process's
// peak resident memory over the attack beside the bound it must hold, and fails when it does
// not hold. Real time, one iteration each: the numbers are memory, not speed.
//
// The service speaks TLS from an address the player counts as production, as every service
// that could be hostile reaches it. The player speaks plain HTTP only to a development service
// on its own machine, and there Qt 6.4 reads a body that ends with its connection straight
// from the kernel's socket queue, whatever the read buffer: the attack would then measure how
// far the kernel lets that queue grow (net.ipv4.tcp_rmem), not the player.
#include "bench/BenchmarkMain.h"
#include "bench/ProcessStatus.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/EventWait.h"
#include "tests/support/FloodingHttpServer.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

namespace {

using namespace talvorine;
namespace W = RuntimeWire;

constexpr qint64 floodBytes = qint64(2) * 1024 * 1024 * 1024;
constexpr qint64 mebibyte = 1024 * 1024;
constexpr auto stall = std::chrono::seconds(2);

// A stream's bound: Qt's read buffer and the parser's pending line, with room for the
// allocator and the HTTP layer's own buffers.
constexpr qint64 streamBoundBytes = 16 * mebibyte;
// A manifest's: the body up to the cap, which may grow into twice its size while it is
// gathered without an announced length, and the same room.
constexpr qint64 manifestBoundBytes = 2 * RuntimeTransport::manifestByteLimit + 16 * mebibyte;

struct Client {
    QTemporaryDir dir;
    test::FloodingHttpServer server{test::FloodingHttpServer::Transport::HttpsNonLocal};
    std::unique_ptr<RuntimeTransport> transport;

    bool start()
    {
        const QString identity = dir.filePath(QStringLiteral("player-identity"));
        if (!dir.isValid() || !server.listening()
            || !NativePlayerIdentityStore(identity).open(true))
            return false;
        server.trustInProcess();
        transport = std::make_unique<RuntimeTransport>(
            server.url(), dir.filePath(QStringLiteral("device-credential")),
            dir.filePath(QStringLiteral("pairing-session")), identity);
        return true;
    }

    bool mint()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        server.answer(W::identityChallengeRoute, 201, W::jsonType,
                      QJsonDocument(QJsonObject{
                                        {"nonce", QString(43, QLatin1Char('A'))},
                                        {"expires_at", now.addSecs(60).toString(Qt::ISODateWithMs)},
                                        {"server_time", now.toString(Qt::ISODateWithMs)}})
                          .toJson());
        server.answer(W::sessionMintRoute, 200, W::jsonType,
                      QJsonDocument(QJsonObject{{"session", "tvs_bench"},
                                                {"expires_at", "2099-01-01T00:00:00.000Z"}})
                          .toJson());
        bool minted = false;
        QObject::connect(transport.get(), &RuntimeTransport::deviceSessionSucceeded,
                         [&minted] { minted = true; });
        transport->createDeviceSession(QStringLiteral("bench-mint-key"));
        test::spinUntil([&] { return minted; }, 10000);
        return minted;
    }

    bool pair()
    {
        const NativePairingSession session{QStringLiteral("ABC234"),
                                           QStringLiteral("tvp_") + QString(43, QLatin1Char('p')),
                                           QDateTime::currentDateTimeUtc().addSecs(600)};
        return NativePairingStore(dir.filePath(QStringLiteral("pairing-session"))).save(session)
            && transport->adoptStoredPairingCredential();
    }
};

void report(benchmark::State& state, qint64 peakGrowth, qint64 bound, qint64 takenInStall)
{
    state.counters["peak_MiB"] = double(peakGrowth) / mebibyte;
    state.counters["bound_MiB"] = double(bound) / mebibyte;
    state.counters["taken_in_stall_MiB"] = double(takenInStall) / mebibyte;
    if (peakGrowth > bound) {
        static std::string message;
        message = "peak memory grew by " + std::to_string(peakGrowth / mebibyte)
            + " MiB, above the bound; taken during the stall: "
            + std::to_string(takenInStall / mebibyte) + " MiB";
        state.SkipWithError(message.c_str());
    }
}

// The stream's line never ends; after the stall the GUI thread reads on for 2 s more.
void BM_StreamFloodWhileGuiStalled(benchmark::State& state)
{
    const bool pairing = state.range(0) == 1;
    for (auto _ : state) {
        Client client;
        if (!client.start() || !(pairing ? client.pair() : client.mint())) {
            state.SkipWithError("no session");
            return;
        }
        const QByteArray route = pairing ? W::pairingEventsRoute : W::eventsRoute;
        client.server.flood(route, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream",
                            floodBytes);
        const qint64 before = processStatusBytes("VmRSS");
        if (!resetPeakResident()) {
            state.SkipWithError("peak memory cannot be reset here");
            return;
        }
        pairing ? client.transport->openPairingEvents() : client.transport->openEvents({});
        // Only once the request is set up, as the client meets a real service's answer.
        client.server.releaseFlood();
        if (!test::spinUntil([&] { return client.server.floodStarted(); }, 10000)) {
            state.SkipWithError("the flood did not start");
            return;
        }
        std::this_thread::sleep_for(stall);
        const qint64 taken = client.server.floodWritten();
        test::spinUntil([] { return false; }, 2000);
        report(state, processStatusBytes("VmHWM") - before, streamBoundBytes, taken);
        pairing ? client.transport->closePairingEvents() : client.transport->closeEvents();
    }
}
BENCHMARK(BM_StreamFloodWhileGuiStalled)
    ->ArgName("pairing")->Arg(0)->Arg(1)
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The manifest announces its 2 GiB or does not; either way it ends as too large.
void BM_ManifestFloodWhileGuiStalled(benchmark::State& state)
{
    const bool announced = state.range(0) == 1;
    for (auto _ : state) {
        Client client;
        if (!client.start() || !client.mint()) {
            state.SkipWithError("no session");
            return;
        }
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json";
        if (announced)
            head += "\r\nContent-Length: " + QByteArray::number(floodBytes);
        client.server.flood(W::manifestRoute, head, floodBytes);
        QString code;
        QObject::connect(client.transport.get(), &RuntimeTransport::manifestFailed,
                         [&code](const QString& failure) { code = failure; });
        const qint64 before = processStatusBytes("VmRSS");
        if (!resetPeakResident()) {
            state.SkipWithError("peak memory cannot be reset here");
            return;
        }
        client.transport->fetchManifest({});
        client.server.releaseFlood();
        if (!test::spinUntil([&] { return client.server.floodStarted(); }, 10000)) {
            state.SkipWithError("the flood did not start");
            return;
        }
        std::this_thread::sleep_for(stall);
        const qint64 taken = client.server.floodWritten();
        test::spinUntil([&] { return !code.isEmpty(); }, 60000);
        report(state, processStatusBytes("VmHWM") - before, manifestBoundBytes, taken);
        if (code != QLatin1String("runtime_reply_too_large"))
            state.SkipWithError("the manifest was not refused as too large");
    }
}
BENCHMARK(BM_ManifestFloodWhileGuiStalled)
    ->ArgName("announced")->Arg(0)->Arg(1)
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
