// tests/app still names the old place; this forwards to testing/.
#pragma once

#include "testing/test-env/ManualClock.h"
