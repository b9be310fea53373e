// Waits with deadlines, and samples of GPIO levels and log texts.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

class kit_root;

// Polls the condition until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);
// True when the condition holds at every poll for the whole duration.
bool holds(const std::function<bool()>& condition, std::chrono::milliseconds duration);

// The parts of a text between the separators (lines of a file, fields of a
// record line); an empty last part is left out.
std::vector<std::string> split(const std::string& text, char sep);

// How many times the part occurs in the text (overlapping ones too).
std::size_t occurrences(const std::string& text, const std::string& part);

// The text with every message-log time stamp "[YYYY/MM/DD hh:mm:ss mmm]"
// replaced by "[T]", so whole log lines can be compared exactly.
std::string mask_log_stamps(const std::string& text);

// The levels a GPIO value file showed, sampled every 10 ms for the duration.
std::vector<int> sample_gpio(const kit_root& root, int line, std::chrono::milliseconds duration);
// Level changes in a sample: rises (0 to 1) and falls (1 to 0).
int rises(const std::vector<int>& levels);
int falls(const std::vector<int>& levels);
