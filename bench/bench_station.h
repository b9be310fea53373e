// The station that the benchmark drives: a station root of its own (settings,
// GPIO value files and stand-in tools written here, so the benchmark needs
// nothing of the source tree and runs on the board as well), a redis-server
// on the root's socket, and the programs started and ended one at a time.
#pragma once

#include <string>
#include <vector>

#include "station_kit/programs.h"

class bench_station {
public:
    // Lays out the root at dir (made when absent) and starts its redis-server.
    // Programs come from bin_dir, the yardstick from floor_dir. A durable
    // station's server keeps an append-only file synced before each answer
    // in DIR/userdata/redis, as the board's does; otherwise it keeps nothing.
    bench_station(std::string dir, std::string bin_dir, std::string floor_dir, bool durable = false);

    const std::string& root() const { return dir_; }
    std::string socket() const { return dir_ + "/tmp/redis.sock"; }
    pid_t redis_pid() const { return redis_.pid(); }

    // Each started program is ready when it returns: subscribed, or its
    // watch set (a short settling pause).
    kit_program start_orvanel() const;
    kit_program start_outputd() const;
    kit_program start_floor(const char* mode) const;

    // Rewrites call key 1's value file in place: 0 pressed, 1 released.
    void set_key(int level) const;

    // The key, its account and the station idle, as the user agent reports.
    static const char* const account_aor;
    static const char* const status_key;

private:
    void lay_out() const;
    std::vector<std::string> environment() const;
    kit_program start(const std::string& program, std::vector<std::string> args, const char* stem) const;
    bool wait_for_subscriber() const;

    std::string dir_;
    std::string bin_dir_;
    std::string floor_dir_;
    kit_program redis_;
};
