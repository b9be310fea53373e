// The station that a fuzz target runs against: a temporary station root laid
// out from the template, with settings that switch every relay path on but
// hold nothing (reset durations 0) and call no URL, a real redis-server on
// its socket, and the stand-in tools first on PATH, so the shell commands
// that inputs lead to are recorded, not run. Made once per process, at the
// first use; torn down at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "station_kit/station.h"

class fuzz_station {
public:
    static fuzz_station& get();

    // Every so many inputs, empties what the code under test pushed and the
    // files it appended to, so that a long run fills neither Redis nor the
    // disk.
    void tidy();

    kit_root root;

private:
    fuzz_station();
    root_in_process in_root_{root};
    redis_server redis_{root};
    redis_client client_{root.socket()};
    unsigned inputs_ = 0;
};

// The fuzzer's bytes as text.
inline std::string fuzz_text(const std::uint8_t* data, std::size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Stops the run with a message when a property that must hold does not: the
// fuzzer reports it like a crash, with the input.
void fuzz_require(bool holds, const char* what);
