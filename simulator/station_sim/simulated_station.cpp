#include "simulator/station_sim/simulated_station.h"

#include <stdexcept>
#include <thread>

#include <sys/wait.h>

#include "common/accounts.h"
#include "common/config.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "simulator/uasim/user_agent.h"

namespace {

int key_line(int key)
{
    return key == 1 ? 140 : 67;
}

}  // namespace

std::string first_account_status_key(const kit_root& root)
{
    // Read with the station's own rules, from this root's settings.
    setenv("STATION_ROOT", root.path().c_str(), 1);
    station_root_init();
    return account_status_key(account_identity_of(1));
}

sim_station::sim_station(const std::string& root_dir, const std::string& bin_dir, std::ostream& out, bool real_sip)
    : root_(root_dir), bin_dir_(bin_dir), out_(out)
{
    // The template's settings, with the demo's door: the relay also goes on
    // when a call is answered, and the far ends send the code 1234. Keys
    // given again later in the file win.
    std::string settings = root_.read("/etc/speaker.conf") +
                           "\n; The demo's door:\n[relay_ctrl]\ncall_state = yes\ndtmf_code = 1234\n";
    if (real_sip) {
        // Account 1 at the SIPp registrar, and key 1's numbers chosen for
        // the far end's behaviours: the first rings and is never answered,
        // the next answers, sends the door code and hangs up.
        sip_ = std::make_unique<sip_stack>(root_);
        settings += "\n; For the real SIP stack of station-sim demo-sip:\n" + sip_->account_settings() +
                    "[button-gpio140]\nnext_number_1 = 4081001\nnext_number_2 = 51002\n";
    }
    root_.write_settings(settings);
}

std::string sim_station::key1_number(int n) const
{
    setenv("STATION_ROOT", root_.path().c_str(), 1);
    station_root_init();
    const int key1 = call_key_lines[0];
    return n == 1 ? setting_value(setting::key_next_number_1, key1) : setting_value(setting::key_next_number, key1, n);
}

sim_station::~sim_station()
{
    stop();
}

std::string sim_station::program(const char* name) const
{
    return bin_dir_ + "/" + name;
}

int sim_station::run_check(std::string& report) const
{
    const std::string out = root_.path() + "/station-check.out";
    int status = 0;
    try {
        // station-check bounds each Redis command by its time-out, so the
        // wait ends.
        const pid_t pid = spawn({program("station-check"), "--problems"}, station_environment(root_.path(), root_.bin_dir()),
                                out, root_.path() + "/station-check.err");
        if (waitpid(pid, &status, 0) != pid)
            return -1;
    } catch (const std::runtime_error&) {
        return -1;
    }
    report = read_text_file(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool sim_station::start()
{
    out_ << "Station root: " << root_.path() << "\n";
    redis_ = std::make_unique<redis_server>(root_);
    client_ = std::make_unique<redis_client>(root_.socket());
    out_ << "Redis:        " << root_.socket() << "\n";

    outputd_ = std::make_unique<kit_program>(root_, program("outputd"), std::vector<std::string>{"debug"});
    orvanel_ = std::make_unique<kit_program>(root_, program("orvanel"), std::vector<std::string>{"debug"});
    if (!wait_until([&] { return client_->subscribers(session_channel) == 1; }, 10s)) {
        out_ << "orvanel did not come up; see " << root_.path() << "/orvanel.*\n";
        return false;
    }
    for (int line : {140, 67, 3}) {
        const std::string file = root_.file("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
        if (!wait_until([&] { return process_has_open(orvanel_->pid(), file); }, 5s)) {
            out_ << "orvanel does not watch " << file << "\n";
            return false;
        }
    }
    view_ = std::make_unique<sim_view>(root_, first_account_status_key(root_), out_);
    view_->start();
    if (sip_) {
        view_->follow_sip_trace(sip_->far_end_trace_path());
        if (!sip_->start()) {
            out_ << "the SIP stack did not come up:\n" << sip_->report();
            return false;
        }
        out_ << "SIP:          SIPp at " << sip_->aor().substr(sip_->aor().find('@') + 1)
             << " as registrar and far ends, baresip behind sipbridge\n";
        out_ << "Programs' own output: " << root_.path() << "/{orvanel,outputd,sipbridge,baresip,sipp}.*.out\n\n";
        return true;
    }
    uasim_ = std::make_unique<kit_program>(root_, program("uasim"));
    view_->follow_user_agent_output(uasim_->output_path());
    if (!uasim_->wait_output("uasim: ready", 10s)) {
        out_ << "the stand-in user agent did not come up; see " << root_.path() << "/uasim.*\n";
        return false;
    }
    out_ << "Programs' own output: " << root_.path() << "/{orvanel,outputd,uasim}.*.out\n\n";
    return true;
}

void sim_station::stop()
{
    if (view_)
        view_->stop();
    visitors_.clear();
    sip_.reset();
    uasim_.reset();
    orvanel_.reset();
    outputd_.reset();
    client_.reset();
    redis_.reset();
}

bool sim_station::press(int key)
{
    const std::string entry = "BUTTON,KEY_GPIO" + std::to_string(key_line(key)) + " Press,";
    view_->skip_seen();
    root_.set_gpio(key_line(key), 0);
    // The press is logged after the key beep; wait for it before the release
    // so the two level changes cannot merge into one reading.
    return view_->wait_entry(entry, 5s);
}

void sim_station::release(int key)
{
    root_.set_gpio(key_line(key), 1);
}

bool sim_station::tap(int key)
{
    const bool seen = press(key);
    release(key);
    return seen;
}

bool sim_station::hold(int key, double seconds)
{
    const bool seen = press(key);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    release(key);
    return seen;
}

void sim_station::close_tamper()
{
    root_.set_gpio(3, 0);
    // Closing leaves no trace; a watcher sees a rewrite within 100 ms.
    std::this_thread::sleep_for(300ms);
}

void sim_station::open_tamper()
{
    root_.set_gpio(3, 1);
}

void sim_station::far_side(const std::string& action)
{
    if (!sip_) {
        client_->command("LPUSH %s %s", actions_list, action);
        return;
    }
    if (action.rfind("call-in", 0) == 0)
        visitors_.push_back(sip_->call_station());
    else
        out_ << "with real SIP the far ends follow their scenarios; only call-in can be asked for\n";
}
