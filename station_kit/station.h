// The station kit: a temporary station root with everything the programs
// expect on the device (GPIO value files, settings, sound folders and
// stand-in tools that record how they were called), a real redis-server on
// ROOT/tmp/redis.sock, the real programs started under the root, and waits
// with deadlines on Redis lists, channels and files.
#pragma once

#include "station_kit/programs.h"
#include "station_kit/redis.h"
#include "station_kit/root.h"
#include "station_kit/sip_stack.h"
#include "station_kit/waits.h"
