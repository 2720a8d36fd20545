#include "web/WebPackageSchemeCoordinator.h"

namespace talvorine {

WebPackageSchemeCoordinator::WebPackageSchemeCoordinator(QObject* parent)
    : QObject(parent)
{
}

} // namespace talvorine
