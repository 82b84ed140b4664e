// The agent fixtures live in tests/common now.
#include "RelayFixture.h"
