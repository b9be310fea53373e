// The tools part of the installer's check: it looks the programs up and
// asks access(2) about the files; it runs nothing.
#include "check/tools_check.h"

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/process.h"
#include "common/station_root.h"

namespace {

constexpr const char* area = "tools";

constexpr const char* sounds = "/home/kovrin/target/share/sounds/";

finding on_path(const char* program, const char* use)
{
    const std::string found = find_on_path(program);
    if (found.empty()) {
        // The programs look on PATH alone; under a station root they run
        // with its bin folder first on PATH, where the stand-ins are.
        const std::string stand_in = station_root() + "/bin/" + program;
        if (!station_root().empty() && access(stand_in.c_str(), X_OK) == 0)
            return {area, program, verdict::error,
                    std::string("not found on PATH: ") + use + " fails; the station root has it as " + stand_in +
                        ": run the check with PATH=" + station_root() + "/bin:$PATH, as the programs under it run"};
        return {area, program, verdict::error,
                std::string("not found on PATH: ") + use + " fails; install " + program};
    }
    return {area, program, verdict::ok, found};
}

finding device_file(const char* item, const std::string& device_path, bool executable, const char* use)
{
    const std::string path = station_path(device_path);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {area, item, verdict::error, path + " is missing: " + use + "; install it"};
    if (access(path.c_str(), executable ? X_OK : R_OK) != 0)
        return {area, item, verdict::error,
                path + (executable ? " is not executable" : " is not readable") + " by this user: " + use +
                    "; fix its mode"};
    return {area, item, verdict::ok, path};
}

}  // namespace

findings check_tools()
{
    findings out;
    out.push_back(on_path("mpg123", "playing the beep, the spoken address and other sounds"));
    out.push_back(on_path("curl", "every HTTP action of the keys, the tamper switch and the relay"));
    out.push_back(device_file("amixer", "/usr/bin/amixer", true, "the spoken address plays at the last volume set"));
    out.push_back(device_file("amplifier script", "/etc/scripts/pa_mute.sh", true,
                              "the amplifier is never switched on: no beep or sound is heard"));
    out.push_back(device_file("beep", std::string(sounds) + "beep.mp3", false, "a key press gives no beep"));

    const std::string language = setting_value(setting::system_language);
    const std::string folder = std::string(sounds) + (language == "en" ? "en/" : "cn/");
    bool spoken_ok = true;
    for (const char* name : {"digit-0.mp3", "digit-1.mp3", "digit-2.mp3", "digit-3.mp3", "digit-4.mp3",
                             "digit-5.mp3", "digit-6.mp3", "digit-7.mp3", "digit-8.mp3", "digit-9.mp3",
                             "dian.mp3", "get_ip_failed.mp3"}) {
        finding f = device_file("spoken address", folder + name, false, "the spoken address misses a word");
        if (f.level != verdict::ok) {
            out.push_back(f);
            spoken_ok = false;
        }
    }
    if (spoken_ok)
        out.push_back({area, "spoken address", verdict::ok, station_path(folder) + " is complete"});

    // The tamper switch plays its file only in mode 3; the file is a path as
    // the player is given it.
    if (std::atoi(setting_value(setting::tamper_active).c_str()) == 3) {
        const std::string file = setting_value(setting::tamper_audio_file);
        if (file.empty())
            out.push_back({area, "tamper sound", verdict::error,
                           "unpack-intercom:audio_file is empty with active = 3: the tamper switch plays "
                           "nothing; name a sound file"});
        else
            out.push_back(device_file("tamper sound", file, false, "the tamper switch plays nothing"));
    }
    return out;
}
