// The door code's station-wide lockout as it is kept on storage, in
// /userdata/dtmf-lockout beside Redis's "dtmf-lockout", and the rule for
// what a start of orvanel takes back from the two. Pure: the file's text,
// the clocks and the boot come in from the caller (lockout_file reads and
// writes them), so every case is tested without waiting.
//
// Redis keeps a key's expiry as a wall-clock time and may lose its data in
// a power cut; the file is written and synced before a lockout takes
// effect, so it outlasts both. Its text, one field a line:
//
//   length 60                                   the lockout's length in seconds
//   end 1718000060                              its end, wall-clock seconds since 1970
//   boot 6f1c2a1e-0d7b-4c57-9a51-2b6de1a2c3f4   the boot it was written in
//   boot-end-ms 4183920                         its end on the boot's clock (CLOCK_BOOTTIME)
//
// Within one boot the time left is the later of the two ends: the boot's
// clock counts on when NTP steps the wall clock of a board that came up
// without one. After another boot neither clock says how long the station
// was off, so the lockout resumes for its whole length.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

struct lockout_record {
    std::chrono::seconds length{0};
    std::chrono::seconds end{0};                 // wall clock, since 1970
    std::string boot;                            // boot id, or unknown_boot
    std::chrono::milliseconds boot_end{0};       // CLOCK_BOOTTIME
};

// The boot id written when /proc/sys/kernel/random/boot_id could not be
// read; it matches no boot, not even its own.
inline constexpr char unknown_boot[] = "unknown";

// The most of the file that is read: a file that orvanel wrote is about 120
// bytes.
inline constexpr std::size_t lockout_file_cap = 512;

// The file's text for the record.
std::string lockout_record_text(const lockout_record& record);

// The record in the text, or nothing when the text is not one that orvanel
// writes (a field missing, twice or out of range, a line that is not
// "name value"). Lines of other names are passed over, for fields a later
// version may add.
std::optional<lockout_record> parse_lockout_record(const std::string& text);

// A boot id as the kernel gives it (hex digits and dashes, the line end
// trimmed), or unknown_boot for anything else.
std::string boot_id_of_text(const std::string& text);

// What a start found of the file.
struct lockout_file_found {
    enum class state { absent, read, unreadable };
    state found = state::absent;
    std::string text;   // when read
};

// The clocks and the boot at the start.
struct lockout_now {
    std::chrono::milliseconds wall{0};       // since 1970
    std::chrono::milliseconds boot_clock{0}; // CLOCK_BOOTTIME
    std::string boot;                        // this boot's id, or unknown_boot
};

// What a start takes back.
struct lockout_restore {
    enum class reason {
        none,          // no lockout runs
        restart,       // the time left in this boot (the file's or Redis's, the longer)
        boot,          // a lockout from another boot, resumed whole
        unreadable,    // the file is there but is no lockout record: the longest lockout
    };
    reason why = reason::none;
    std::chrono::milliseconds remaining{0};
    // The lockout's whole length, for the file written anew.
    std::chrono::seconds length{0};
    // The file does not hold this lockout for this boot (or is garbage)
    // and is written anew; Redis holds less and is set anew.
    bool write_file = false;
    bool set_redis = false;
    // No lockout runs, but a file is left (its lockout ended while orvanel
    // was not running): it is removed, so that a later boot does not lock.
    bool remove_file = false;
};

// The rule. `redis_left` is what Redis holds (door_code_guard::read_kept's
// remaining: 0 when no key, the longest lockout for a key without expiry),
// nothing when Redis did not answer. `longest` caps every time left.
lockout_restore lockout_to_restore(std::optional<std::chrono::milliseconds> redis_left,
                                   const lockout_file_found& file, const lockout_now& now,
                                   std::chrono::seconds longest);
