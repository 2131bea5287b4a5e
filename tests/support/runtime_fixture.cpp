// The fixture is header-only; this file gives the support library a source of its own.
#include "support/runtime_fixture.h"
