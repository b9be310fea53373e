#include "sipbridge/trust/station_users.h"

#include "common/system_user.h"

std::string user_agent_user()
{
    return configured_user("STATION_UA_USER", STATION_UA_USER);
}

std::string bridge_user()
{
    return configured_user("STATION_BRIDGE_USER", STATION_BRIDGE_USER);
}
