// Owners for the objects of the C libraries: a parsed JSON text, an INI
// dictionary, a Redis connection and a Redis reply are freed by scope on
// every path.
#pragma once

#include <memory>

#include <cjson/cJSON.h>
#include <hiredis/hiredis.h>
#include <iniparser/iniparser.h>

template <typename T, void (*Free)(T*)>
struct c_free {
    void operator()(T* p) const noexcept { Free(p); }
};

struct reply_free {
    void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};

using json_ptr = std::unique_ptr<cJSON, c_free<cJSON, cJSON_Delete>>;
using ini_ptr = std::unique_ptr<dictionary, c_free<dictionary, iniparser_freedict>>;
using redis_ptr = std::unique_ptr<redisContext, c_free<redisContext, redisFree>>;
using reply_ptr = std::unique_ptr<redisReply, reply_free>;

// Runs one command on a connection and takes ownership of its reply (which
// is null when the connection failed).
template <typename... Args>
reply_ptr redis_command(redisContext* c, const char* format, Args... args)
{
    return reply_ptr(static_cast<redisReply*>(redisCommand(c, format, args...)));
}
