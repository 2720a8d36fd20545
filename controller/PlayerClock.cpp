#include "controller/PlayerClock.h"

#include <QDateTime>

#include <chrono>

namespace talvorine {

namespace {

class SystemClock final : public PlayerClock {
public:
    qint64 nowMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
    qint64 monotonicMs() const override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace

std::shared_ptr<const PlayerClock> PlayerClock::system()
{
    static const auto clock = std::make_shared<const SystemClock>();
    return clock;
}

} // namespace talvorine
