/* The names of the Redis lists and channels between the station's programs,
 * as C string literals. This is the one place each name is spelt:
 * common/station_protocol.h gives them to the C++ programs (and makes its
 * command formats from them), and bench-floor, the plain C yardstick,
 * includes this file as it is. */
#pragma once

/* Lists: LPUSH by the producers, taken oldest first by one consumer. */
#define STATION_CONTROL_LIST "control-channel"
#define STATION_OUTPUT_LIST "output-channel"
#define STATION_OUTPUT_PROCESSING "output-processing"
#define STATION_WRITELOG_LIST "writelog-channel"
#define STATION_WRITELOG_PROCESSING "writelog-processing"
#define STATION_CDR_LIST "cdr-channel"
#define STATION_CDR_PROCESSING "cdr-processing"
#define STATION_CHECK_RESULT_LIST "check-result-channel"
#define STATION_DEVICE_STATE_LIST "device-state"

/* Channels: PUBLISH, every subscriber hears it. */
#define STATION_SESSION_CHANNEL "session-channel"
#define STATION_VOLUME_EVENT_CHANNEL "volume-event-channel"

/* Keys: the door code's lockout, kept by orvanel through its restarts. */
#define STATION_DOOR_LOCKOUT_KEY "dtmf-lockout"
#define STATION_DOOR_GUARD_KEY "dtmf-guard"

/* Keys: the site log's sequence numbers (the last one given, and the one
 * each record writer gave the element it has in flight). */
#define STATION_SITE_SEQUENCE_KEY "site-log-sequence"
#define STATION_WRITELOG_SEQUENCE_KEY "writelog-site-sequence"
#define STATION_CDR_SEQUENCE_KEY "cdr-site-sequence"
