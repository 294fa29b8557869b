#pragma once

// The scan's faulty drive now lives with the shared test support (FakeSystemLayer.h); this name
// stays for the fuzz target that includes it.
#include "tests/support/FakeSystemLayer.h"
