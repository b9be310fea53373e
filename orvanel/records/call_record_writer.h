// Call records on their way to /userdata/cdr.csv, the same crash-safe way as
// the operation log's entries. A finished call's line is pushed onto the
// Redis list cdr-channel at once. The thread write_cdr takes the lines off
// it, oldest first, through its processing list cdr-processing, and removes
// each only once it is synced to the file: a kill of orvanel or a power cut
// loses none, and the one in flight is written again at the next start.
// Storage that refuses a line (full, read-only, gone) keeps it there, tried
// again every 5 s, with the lines behind it waiting in order. Each line goes
// to the site log too, once it is in the file (site_log.h).
//
// While Redis cannot take a line it waits in memory, at most cdr_held_max of
// them, the oldest dropped first, and goes out as soon as the server is
// back: write_cdr pushes what is held whenever it has made its connection
// anew, and every new call's line pushes those before it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/c_holders.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "orvanel/records/record_file.h"
#include "orvanel/records/site_log.h"

inline constexpr std::size_t cdr_held_max = 32;

// Hands one record line (without its line end) over, from the event thread.
void hand_over_call_record(const std::string& line);

// The lines that wait in memory for Redis, oldest first.
std::vector<std::string> held_call_records();
// Forgets them, for a test that begins anew.
void drop_held_call_records();

// The writer of the file, a pass at a time: write_cdr runs passes for ever,
// a test runs them one by one. Only one thread uses a writer.
class call_record_writer {
public:
    call_record_writer();
    // Makes the connection anew when it is lost (waiting until the server
    // is back), hands Redis the lines held in memory, then waits up to 60 s
    // for the oldest line and appends it to the file (or keeps it, after
    // the 5 s pause, when storage refuses it).
    void pass();

private:
    processing_list lines_{cdr_list, cdr_processing, cdr_sequence_key};
    site_log site_{cdr_sequence_key};
    redis_ptr connection_;
    refused_pops refused_;
    storage_outage storage_{"the call record"};
};

// Thread entry; never returns.
void write_cdr();
