// Owners for every C handle the programs hold: a parsed JSON text and a text
// printed from one, an INI dictionary, a Redis connection and a Redis reply,
// a file from fopen, a pipe from popen, the answer of getaddrinfo and a file
// descriptor. Each is freed by
// scope on every path.
#pragma once

#include <cstdio>
#include <memory>
#include <utility>

#include <netdb.h>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <hiredis/hiredis.h>
#include <iniparser/iniparser.h>

// The deleter that calls a C library's free function; what the function
// returns (fclose and pclose give a status) is of no use at scope end.
template <typename T, auto Free>
struct c_free {
    void operator()(T* p) const noexcept { Free(p); }
};

using json_ptr = std::unique_ptr<cJSON, c_free<cJSON, cJSON_Delete>>;
// A text from cJSON_Print or cJSON_PrintUnformatted.
using printed_json_ptr = std::unique_ptr<char, c_free<char, cJSON_free>>;
using ini_ptr = std::unique_ptr<dictionary, c_free<dictionary, iniparser_freedict>>;
using redis_ptr = std::unique_ptr<redisContext, c_free<redisContext, redisFree>>;
using reply_ptr = std::unique_ptr<redisReply, c_free<redisReply, freeReplyObject>>;
// A stream from fopen, and one from popen (pclose also waits for the shell).
using file_ptr = std::unique_ptr<std::FILE, c_free<std::FILE, std::fclose>>;
using pipe_ptr = std::unique_ptr<std::FILE, c_free<std::FILE, pclose>>;
using addrinfo_ptr = std::unique_ptr<addrinfo, c_free<addrinfo, freeaddrinfo>>;

// A file descriptor, closed when its owner goes. Negative means none.
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        const int old = std::exchange(fd_, fd);
        if (old >= 0)
            ::close(old);
    }

private:
    int fd_ = -1;
};

// Runs one command on a connection and takes ownership of its reply (which
// is null when the connection failed).
template <typename... Args>
reply_ptr redis_command(redisContext* c, const char* format, Args... args)
{
    return reply_ptr(static_cast<redisReply*>(redisCommand(c, format, args...)));
}
