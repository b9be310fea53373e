// Call detail records: one pending record, filled in as a call's events
// arrive (begun, answered, finished), then handed over as one line of
// /userdata/cdr.csv and cleared. Only the event thread touches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

inline constexpr const char* call_records_file = "/userdata/cdr.csv";

// The pending record. Each text holds at most its capacity less one byte;
// longer values are cut to fit.
struct cdr_fields {
    std::string date;        // 48: call start date, local
    std::string start_time;  // 16
    std::string end_time;    // 16
    std::string account;     // 32: the event's accountaor
    std::string peer;        // 32: the other party's user part
    std::string direction;   // 8: "in" or "out"
    std::string outcome;     // 16: "MISSED CALL", "NO ANSWER" or "ANSWERED"
    std::int64_t answer_time = 0;
    int duration = 0;
    std::string reason;  // 64: the close reason
};

extern cdr_fields cdr_record;

void cdr_begin_incoming(const std::string& account, const std::string& peer);
void cdr_begin_outgoing(const std::string& account, const std::string& peer);
void cdr_answered();
void cdr_finish(const std::string& reason);
// Hands the record's line over to the writer of the file
// (call_record_writer.h) and clears the record.
void cdr_write();
// True between a begin and the write of its line.
bool cdr_begun();

// The same steps at a given time, for checks that cannot wait for the clock.
void cdr_begin_at(std::time_t now, bool incoming, const std::string& account, const std::string& peer);
void cdr_answered_at(std::time_t now);
void cdr_finish_at(std::time_t now, const std::string& reason);

// The record as its line of the file, without the line end: nine fields
// joined by commas. A field is made one line and a comma inside it becomes a
// blank; a field from SIP data (account, peer, reason) that a spreadsheet
// would take for a formula gets a leading apostrophe.
std::string cdr_line(const cdr_fields& record);
