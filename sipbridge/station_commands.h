// The control commands' parser moved to common/station_protocol.h; this
// name stays until its last includer has moved on.
#pragma once

#include "common/station_protocol.h"
