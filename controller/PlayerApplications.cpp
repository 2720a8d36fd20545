// Requests from web applications: events, logs, page advance and the key-value store.

#include "controller/PlayerController.h"

namespace talvorine {

// Invokable or wired by the constructor; the web-application requests fill them.

void PlayerController::applicationAdvanceRequested(int, const QString&) {}
void PlayerController::applicationLogRequested(int, const QString&, const QString&,
                                               const QString&, const QString&)
{
}
void PlayerController::applicationEventRequested(int, const QString&, const QString&,
                                                 const QString&)
{
}
void PlayerController::applicationKvRequested(int, const QString&, const QString&,
                                              const QVariantMap&)
{
}
void PlayerController::handleActivationReportFailed(const QString&, const QString&) {}

} // namespace talvorine
