#pragma once

namespace talvorine {

// True when the Qt platform is (now) Wayland: an unset value or a Wayland-first fallback list
// becomes exactly "wayland"; any other platform is left alone and refused.
bool configureWaylandPlatformEnvironment();

// GStreamer's GL elements must use EGL on Wayland unless the operator chose otherwise.
void configureGstGlEnvironment();

} // namespace talvorine
