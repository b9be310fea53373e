// The soak's reckoning: what was handed over against what reached
// system.csv, cdr.csv and gpio66, for work done while everything it needed
// was up and for work that an outage touched, checked for loss, duplicates,
// order and corrupted lines; and the programs' resident memory, threads and
// descriptors over time.
#pragma once

#include <ostream>
#include <vector>

#include "soak/soak_station.h"
#include "soak/workload.h"

// Prints the tables; true when nothing was lost or corrupted while the
// server was up, duplicates stayed within one per kill, every call record
// that waited in Redis when orvanel was killed reached the file once, both
// programs lived throughout and their resources stayed flat.
bool tally(const kit_root& root, const soak_station& station, const std::vector<round_record>& rounds,
           const std::vector<std::string>& records_at_kills, std::ostream& out);
