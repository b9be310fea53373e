/* bench-floor: the least a program can do for the two things the benchmark
 * times, written plainly in C against the same libraries, as the yardstick
 * for orvanel.
 *
 *   bench-floor keys    watches call key 1; on each release it pushes the
 *                       release entry, appends the two message-log lines,
 *                       reads the key's mode, number and line and the three
 *                       accounts' enable settings (each read loads the
 *                       settings file afresh, as the station's reads do) and
 *                       pushes the dial command onto control-channel.
 *   bench-floor events  takes session events; for each it prints the
 *                       "Msg [...]" line, parses the JSON, pushes the
 *                       operation-log entry of a DTMF event and reads
 *                       whether a door code is on; only when it is, the code
 *                       and its tries (the station reads no more).
 *
 * Paths are those of the station under STATION_ROOT. No checks beyond what
 * keeps it from crashing: it is a yardstick, not a station. The lists and
 * the channel are named by the station's own header of names, a C one, so
 * the yardstick cannot drift from the wire it measures; it is included by
 * its path, as the yardstick is built with the C libraries alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/inotify.h>

#include <cjson/cJSON.h>
#include <hiredis/hiredis.h>
#include <iniparser/iniparser.h>

#include "../common/station_names.h"

static char root[512];
static redisContext *pushes;  /* a subscribed connection takes no commands */

static void rooted(char *out, size_t size, const char *device_path)
{
    snprintf(out, size, "%s%s", root, device_path);
}

static void read_setting(const char *key, char *out, size_t size)
{
    char path[600];
    rooted(path, sizeof path, "/etc/speaker.conf");
    dictionary *d = iniparser_load(path);
    snprintf(out, size, "%s", d ? iniparser_getstring(d, key, "") : "");
    iniparser_freedict(d);
}

static void push(redisContext *c, const char *list, const char *text)
{
    redisReply *r = redisCommand(c, "LPUSH %s %s", list, text);
    if (r)
        freeReplyObject(r);
}

static void log_line(const char *text)
{
    char path[600];
    rooted(path, sizeof path, "/userdata/log/orvanel.log");
    FILE *f = fopen(path, "a");
    if (!f)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    fprintf(f, "[%04d/%02d/%02d %02d:%02d:%02d %03ld][INFO] %s", local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000, text);
    fclose(f);
}

static int keys(redisContext *c)
{
    char path[600];
    rooted(path, sizeof path, "/sys/class/gpio/gpio140/value");
    int value_fd = open(path, O_RDONLY);
    int notify_fd = inotify_init1(0);
    if (value_fd < 0 || notify_fd < 0 || inotify_add_watch(notify_fd, path, IN_CLOSE_WRITE) < 0)
        return 1;
    int previous = 1;
    char events[4096];
    for (;;) {
        if (read(notify_fd, events, sizeof events) <= 0)
            return 1;
        char level[2];
        if (lseek(value_fd, 0, SEEK_SET) < 0 || read(value_fd, level, 2) != 2)
            continue;
        int now = level[0] == '1';
        if (now == previous)
            continue;
        previous = now;
        if (!now)
            continue;
        push(c, STATION_WRITELOG_LIST, "BUTTON,KEY_GPIO140 Release,");
        log_line("按钮类型:gpio140\n");
        char mode[32], number[32], line[24], enable[8];
        read_setting("button-gpio140:key_mode", mode, sizeof mode);
        read_setting("button-gpio140:next_number_1", number, sizeof number);
        read_setting("button-gpio140:number_1_line", line, sizeof line);
        int counter = 0;
        for (int n = 1; n <= 3; ++n) {
            char key[40];
            snprintf(key, sizeof key, "account_info_%d:enable", n);
            read_setting(key, enable, sizeof enable);
            counter += strcmp(enable, "yes") == 0;
        }
        log_line("BARESIP_STATUS:0\n");
        char dial[96];
        snprintf(dial, sizeof dial, "{\"cmd\":\"dial\",\"data\":\"%s %d\"}", number, counter > 0 ? 0 : -1);
        push(c, STATION_CONTROL_LIST, dial);
    }
}

static int events(redisContext *c)
{
    redisReply *r = redisCommand(c, "SUBSCRIBE " STATION_SESSION_CHANNEL);
    if (!r)
        return 1;
    freeReplyObject(r);
    for (;;) {
        void *raw = NULL;
        if (redisGetReply(c, &raw) != REDIS_OK)
            return 1;
        redisReply *m = raw;
        if (m->type == REDIS_REPLY_ARRAY && m->elements == 3 && m->element[2]->type == REDIS_REPLY_STRING) {
            printf("Msg [%s]\n", m->element[2]->str);
            cJSON *event = cJSON_Parse(m->element[2]->str);
            const cJSON *param = cJSON_GetObjectItem(event, "param");
            if (cJSON_IsString(param)) {
                char entry[256];
                snprintf(entry, sizeof entry, "FUNCTION,RECEIVE DTMF,%s", param->valuestring);
                push(pushes, STATION_WRITELOG_LIST, entry);
                char dtmf[8], code[32], tries[8];
                read_setting("relay_ctrl:dtmf", dtmf, sizeof dtmf);
                if (strcmp(dtmf, "yes") == 0) {
                    read_setting("relay_ctrl:dtmf_code", code, sizeof code);
                    read_setting("relay_ctrl:dtmf_tries", tries, sizeof tries);
                }
            }
            cJSON_Delete(event);
        }
        freeReplyObject(m);
    }
}

int main(int argc, char **argv)
{
    const char *given = getenv("STATION_ROOT");
    snprintf(root, sizeof root, "%s", given ? given : "");
    setvbuf(stdout, NULL, _IOLBF, 0);
    char socket[600];
    rooted(socket, sizeof socket, "/tmp/redis.sock");
    redisContext *c = redisConnectUnix(socket);
    pushes = redisConnectUnix(socket);
    if (!c || c->err || !pushes || pushes->err || argc != 2) {
        fprintf(stderr, "usage: bench-floor keys|events, with Redis on %s\n", socket);
        return 2;
    }
    if (strcmp(argv[1], "keys") == 0)
        return keys(pushes);
    return events(c);
}
