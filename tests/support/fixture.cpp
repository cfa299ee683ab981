// The fixture is header-only; this file gives the support library a source.
#include "support/fixture.h"
