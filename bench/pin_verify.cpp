// The cost of one operator PIN check at the record's 120000 iterations, set beside the 16.7 ms
// of one frame at 60 Hz: PBKDF2-HMAC-SHA256 through Qt and through libcrypto, the derivation
// alone (which the panel runs off the GUI thread, and the operator waits for) and the whole
// verify (read, derive, compare, rewrite the record with its fsyncs). "frames" is how many
// frames one call takes.
//
// The store derives through libcrypto because it is the faster of the two.
#include "operator/OperatorPinStore.h"

#include <QElapsedTimer>
#include <QPasswordDigestor>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

constexpr double frameSeconds = 1.0 / 60.0;
const QByteArray salt = QByteArray::fromHex("00112233445566778899aabbccddeeff");

QByteArray qtDerivation(const QByteArray& secret, const QByteArray& withSalt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, secret, withSalt,
                                              iterations, 32);
}

const OperatorPinStore::Derivation derivations[] = {qtDerivation, OperatorPinStore::pbkdf2Sha256};
const char* const derivationNames[] = {"qt", "libcrypto"};

void reportFrames(benchmark::State& state, const QElapsedTimer& clock)
{
    if (state.iterations() > 0)
        state.counters["frames"] = clock.nsecsElapsed() * 1e-9 / double(state.iterations())
            / frameSeconds;
    state.SetLabel(derivationNames[state.range(0)]);
}

void BM_Derive(benchmark::State& state)
{
    const OperatorPinStore::Derivation& derive = derivations[state.range(0)];
    QElapsedTimer clock;
    clock.start();
    for (auto _ : state)
        benchmark::DoNotOptimize(derive("246810", salt, OperatorPinStore::writtenIterations));
    reportFrames(state, clock);
}

void BM_Verify(benchmark::State& state)
{
    QTemporaryDir dir;
    OperatorPinStore store(dir.filePath(QStringLiteral("operator-pin")), {},
                           derivations[state.range(0)]);
    if (!store.setPin(QStringLiteral("246810"))) {
        state.SkipWithError("the PIN record could not be written");
        return;
    }
    QElapsedTimer clock;
    clock.start();
    for (auto _ : state) {
        const auto result = store.verify(QStringLiteral("246810"));
        if (result.outcome != OperatorPinStore::PinVerification::Outcome::Accepted) {
            state.SkipWithError("the PIN was not accepted");
            break;
        }
    }
    reportFrames(state, clock);
}

} // namespace

BENCHMARK(BM_Derive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Verify)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
