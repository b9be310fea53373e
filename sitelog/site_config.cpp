#include "sitelog/site_config.h"

#include "common/station_root.h"

namespace {

// A RainerScript string constant: '"' and '\' escaped, nothing else
// special in it.
std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

const std::string& sitelog_dir()
{
    static const std::string dir = STATION_SITELOG_DIR;
    return dir;
}

std::string sitelog_config_path()
{
    return sitelog_dir() + "/" + sitelog_config_name;
}

const std::string& sitelog_queue_dir()
{
    static const std::string dir = STATION_USERDATA_DIR "/sitelog";
    return dir;
}

site_instance_paths rooted_instance_paths()
{
    return {station_path(sitelog_socket), station_path(sitelog_queue_dir()),
            station_path(sitelog_dir() + "/" + sitelog_ca_name)};
}

std::string site_rsyslog_config(const site_forwarding& forwarding, const site_instance_paths& paths)
{
    std::string text;
    text += "# The station's site log: forwards what orvanel sends to " + std::string(sitelog_socket) +
            "\n"
            "# to the site's log server. Written by station-sitelog from [site] of speaker.conf;\n"
            "# edit the settings, not this file.\n\n";

    // Messages pass as they came: no control character is escaped (the
    // server decides), and an entry longer than the default 8 KiB is not cut.
    text += "global(workDirectory=" + quoted(paths.queue_dir) +
            " maxMessageSize=\"64k\"\n"
            "       parser.escapeControlCharactersOnReceive=\"off\")\n\n";

    // The socket alone: the system's log socket is not this instance's.
    text += "module(load=\"imuxsock\" SysSock.Use=\"off\")\n\n";

    // The message as orvanel sent it, byte for byte: TIMESTAMP, HOSTNAME,
    // APP-NAME, PROCID, MSGID, STRUCTURED-DATA and MSG unchanged. A template
    // that rebuilds the header from the parsed fields would add a blank to a
    // message without MSG.
    text += "template(name=\"station_site_message\" type=\"string\" string=\"%rawmsg%\")\n\n";

    // The ruleset hands each message straight to the action's queue, which
    // keeps it in a file on /userdata, synced at once, until the server has
    // taken it: a server away for hours, or a stop of the instance, loses
    // none of what it accepted. Retried every 10 s for as long as it takes
    // (at most 60 s apart however long the outage), never over anything
    // but TLS with the site's CA and the server's name. A stop waits for
    // the retry in progress (up to 15 s), so that its message goes back to
    // the queue on disk instead of being cancelled with the worker. A
    // connection that broke under a message (the server went away after
    // the last one) cannot say whether the message got there: it is sent
    // again on the next connection, and the server tells the copy by its
    // sequence number.
    text += "ruleset(name=\"station_site\" queue.type=\"Direct\") {\n"
            "    action(type=\"omfwd\" name=\"site_log_server\"\n"
            "           target=" + quoted(forwarding.host) + " port=\"" + std::to_string(forwarding.port) +
            "\" protocol=\"tcp\"\n"
            "           TCP_Framing=\"octet-counted\" template=\"station_site_message\"\n"
            "           ResendLastMSGOnReconnect=\"on\"\n"
            "           StreamDriver=\"gtls\" StreamDriverMode=\"1\" StreamDriverAuthMode=\"x509/name\"\n"
            "           StreamDriverPermittedPeers=" + quoted(forwarding.peer_name) + "\n"
            "           StreamDriver.CAFile=" + quoted(paths.ca_file) + "\n"
            "           queue.type=\"Disk\" queue.filename=\"site\" queue.spoolDirectory=" + quoted(paths.queue_dir) +
            "\n"
            "           queue.maxDiskSpace=\"" + sitelog_queue_bound + "\" queue.size=\"200000\"\n"
            "           queue.syncQueueFiles=\"on\" queue.checkpointInterval=\"1\" queue.saveOnShutdown=\"on\"\n"
            "           queue.timeoutActionCompletion=\"15000\"\n"
            "           action.resumeRetryCount=\"-1\" action.resumeInterval=\"10\" "
            "action.resumeIntervalMax=\"60\")\n"
            "}\n\n";

    // The socket: the regular parser chain reads each message as RFC 5424,
    // host name and time stamp its own; no rate limit drops an entry.
    text += "input(type=\"imuxsock\" Socket=" + quoted(paths.socket) +
            "\n"
            "      UseSpecialParser=\"off\" ParseHostname=\"on\" IgnoreTimestamp=\"off\" UseSysTimeStamp=\"off\"\n"
            "      RateLimit.Interval=\"0\" ruleset=\"station_site\")\n";
    return text;
}
