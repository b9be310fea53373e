// Who holds the user agent's control socket. Any local user could listen on
// the control port while the user agent is down and feed the bridge events
// of its own (DTMF that switches the relay), so the bridge talks only to a
// socket that the user agent's user (STATION_UA_USER) listens on. Read from
// /proc/net/tcp and /proc/net/tcp6 of the bridge's network namespace; the
// control socket itself is never probed.
#pragma once

#include <string>

// Empty when every socket listening for connections to HOST:PORT (IPv4)
// belongs to the user agent's user, and so does the far end of the
// connected socket `connection` when one is given; otherwise why the bridge
// refuses it, as a console text ("its control socket belongs to uid 65534,
// not station-sip"). The far end settles it: another user may accept the
// bridge's connection and close his listener before the user agent's own
// starts listening, and the listeners alone would then look right.
std::string ua_owner_refusal(const std::string& host, int port, int connection = -1);
