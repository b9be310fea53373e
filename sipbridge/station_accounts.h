// The accounts' view moved to common/station_accounts.h, beside the protocol
// it serves; this name stays until its last includer has moved on.
#pragma once

#include "common/station_accounts.h"
