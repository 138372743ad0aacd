// What the Qt user-interface tests run on.
#pragma once

#include "testing/x-session/XSession.h"

#include <string>

namespace sorvane::testing {

// ":N" when the tests run on a private X server (--x11), empty offscreen.
extern std::string gX11Display;

} // namespace sorvane::testing
