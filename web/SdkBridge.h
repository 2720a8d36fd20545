#pragma once

#include <QStringList>

namespace talvorine::SdkBridge {

// The SDK message kinds the host implements, told to every web application.
const QStringList& hostFeatures();

} // namespace talvorine::SdkBridge
