// The wire between the station's programs: the Redis lists and channels
// they meet on. Every program names them through these constants, so a
// renamed list cannot leave one end behind.
#pragma once

// Lists (LPUSH by the producer, taken oldest first by one consumer).
inline constexpr const char* control_list = "control-channel";     // orvanel -> the bridge
inline constexpr const char* output_list = "output-channel";       // orvanel -> outputd
inline constexpr const char* output_processing = "output-processing";
inline constexpr const char* writelog_list = "writelog-channel";   // every program -> orvanel
inline constexpr const char* writelog_processing = "writelog-processing";
inline constexpr const char* cdr_list = "cdr-channel";             // orvanel -> its own write_cdr
inline constexpr const char* cdr_processing = "cdr-processing";
inline constexpr const char* check_result_list = "check-result-channel";  // key self-test results
inline constexpr const char* device_state_list = "device-state";           // key self-test requests

// Channels (PUBLISH, every subscriber hears it).
inline constexpr const char* session_channel = "session-channel";       // the bridge -> orvanel
inline constexpr const char* volume_event_channel = "volume-event-channel";  // orvanel -> the player
