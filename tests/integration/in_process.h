// Tests that call orvanel's code in the test process against a real
// redis-server under a temporary station root.
#pragma once

#include <gtest/gtest.h>

#include "common/process.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "tests/harness/station.h"

class InProcessStation : public ::testing::Test {
protected:
    void SetUp() override
    {
        survive_broken_pipes();
        debug_mode = 0;
        reset_call_state();
        redis_pool = redis_pool_create(redis_socket);
    }
    void TearDown() override
    {
        redis_pool.reset();
        debug_mode = 0;
    }

    StationRoot root;
    RootInProcess in_root{root};
    RedisServer redis{root};
    RedisClient client{root.socket()};
};
