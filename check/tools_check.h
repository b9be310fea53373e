// The programs and files the station runs and plays: the player and curl
// (through PATH, as the station finds them), amixer and the amplifier
// script (at their device paths), the beep, the spoken address's sounds in
// the language set, and the tamper switch's sound when its mode plays one.
#pragma once

#include "check/findings.h"

findings check_tools();
