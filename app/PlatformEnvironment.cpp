#include "app/PlatformEnvironment.h"

#include <QByteArray>
#include <QtGlobal>

#include <malloc.h>

namespace talvorine {

bool configureWaylandPlatformEnvironment()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "wayland" || platform.startsWith("wayland;"))
        return qputenv("QT_QPA_PLATFORM", "wayland");
    return false;
}

void configureGstGlEnvironment()
{
    if (qEnvironmentVariableIsEmpty("GST_GL_PLATFORM"))
        qputenv("GST_GL_PLATFORM", "egl");
    if (qEnvironmentVariableIsEmpty("GST_GL_WINDOW"))
        qputenv("GST_GL_WINDOW", "wayland");
}

void configureInputMethodEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_IM_MODULE"))
        qputenv("QT_IM_MODULE", "none");
}

void boundAllocatorArenas()
{
    mallopt(M_ARENA_MAX, allocatorArenas);
}

} // namespace talvorine
