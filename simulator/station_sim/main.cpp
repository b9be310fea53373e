// station-sim: the station on a development machine.
//   station-sim demo [--root DIR]         plays the visitor scenario
//   station-sim demo-sip [--root DIR]     the same through sipbridge, baresip and SIPp
//   station-sim interactive [--root DIR]  leaves the station running with a prompt
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>

#include "common/process.h"
#include "common/station_root.h"
#include "simulator/station_sim/scenarios.h"
#include "simulator/station_sim/simulated_station.h"
#include "simulator/station_sim/timing_chart.h"

namespace {

void on_stop_signal(int)
{
    stop_requested = true;
}

std::string own_directory()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

int usage()
{
    std::cerr << "usage: station-sim demo|demo-sip|interactive [--root DIR]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string mode = argv[1];
    std::string root_dir = mode == "demo" ? "run/demo" : mode == "demo-sip" ? "run/demo-sip" : "run/sim";
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--root")
            root_dir = argv[i + 1];
        else
            return usage();
    }
    if (mode != "demo" && mode != "demo-sip" && mode != "interactive")
        return usage();

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    survive_broken_pipes();
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    root_dir = std::filesystem::absolute(root_dir).lexically_normal().string();
    if (!station_root_is_safe(root_dir)) {
        std::cerr << "The station root " << root_dir
                  << " holds characters that shell commands cannot take; give --root a plain path.\n";
        return 2;
    }

    bool ok = false;
    {
        sim_station station(root_dir, own_directory(), std::cout, mode == "demo-sip");
        if (station.start()) {
            if (mode != "interactive") {
                ok = run_demo(station, std::cout);
                station.view().stop();  // the last lines of the timeline
                print_call_records(station, std::cout);
                print_sip_summary(station, std::cout);
                print_check(station, std::cout);
                const std::string svg = root_dir + "/timeline.svg";
                std::ofstream(svg) << timing_chart_svg(station.view().samples(), station.view().markers());
                std::cout << "\nTiming chart: " << svg << "\n";
            } else {
                run_interactive(station, STDIN_FILENO, std::cout);
                station.view().stop();
                ok = true;
            }
        }
        station.stop();
    }
    std::cout << (ok ? "Station stopped.\n" : "Station stopped after a failure.\n");
    return ok ? 0 : 1;
}
