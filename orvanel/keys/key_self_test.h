// The key self-test that other device software runs through Redis: a
// command on device-state puts one key under test, and each press of that
// key pushes a result onto check-result-channel. Devie_State takes the
// commands on a Redis connection of its own.
#pragma once

#include <string>

struct redisReply;

void Devie_State();
void apply_key_test_command(const redisReply* reply);
void apply_key_test_text(const std::string& text);

// {"name": "key1", "result": "0"} and the other five texts.
std::string key_test_result_text(int key, bool ok);
void report_key_test(int key, bool ok);
