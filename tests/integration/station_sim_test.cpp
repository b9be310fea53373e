// The simulated station as a new user meets it: the demo runs the whole
// station, prints its timeline and call records, draws the timing chart and
// leaves nothing running.
#include <filesystem>

#include <gtest/gtest.h>

#include "station_kit/station.h"

namespace {

// Processes whose command line mentions the text.
int processes_mentioning(const std::string& text)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string cmdline = read_text_file(entry.path().string() + "/cmdline");
        if (cmdline.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

}  // namespace

TEST(StationSim, DemoPlaysTheWholeVisitorScenario)
{
    kit_root scratch;
    const std::string root = scratch.path() + "/demo";
    kit_program demo(scratch, STATION_SIM_BINARY, {"demo", "--root", root});
    const auto status = demo.wait_exit(110s);
    const std::string out = demo.output();
    ASSERT_EQ(status, 0) << out << demo.errors();

    // The timeline tells the story: each step's effects appear after its
    // marker and before the marker of the step after next (patterns of the
    // LEDs are recognised a moment after they begin).
    struct step {
        std::string from, to;
        std::vector<std::string> lines;
    };
    const std::vector<step> story = {
        {"", "a visitor presses key 1",
         {"log      SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@192.168.1.10>"}},
        {"a visitor presses key 1", "the callee enters the door code",
         {"log      BUTTON,KEY_GPIO140 Press,", "log      FUNCTION,KEY1 Call,key_gpio140 1001 <Primary SIP Account>",
          "call     ringing out", "key 1    blue slow blink (ringing)", "sip ua   hangupall",
          "log      FUNCTION,KEY1 Call,1002 <Primary SIP Account>", "log      SIP STATE,CALL ESTABLISHED,outgoing",
          "call     in call", "relay    on (gpio66 high)", "key 1    blue steady (ready)"}},
        {"the callee enters the door code", "the far end hangs up",
         {"log      FUNCTION,RECEIVE DTMF,1", "log      FUNCTION,RECEIVE DTMF,4", "relay    on (gpio66 high)"}},
        {"the far end hangs up", "an incoming call from 2001",
         {"log      SIP STATE,CALL CLOSED,Connection reset by peer [104]", "call     idle", "relay    off"}},
        {"an incoming call from 2001", "the caller hangs up",
         {"log      SIP STATE,INCOMING CALL,sip:2001@192.168.1.10", "call     ringing in",
          "key 2    blue slow blink (ringing)", "log      FUNCTION,KEY Answer,",
          "log      SIP STATE,CALL ESTABLISHED,incoming", "key 2    blue steady (ready)"}},
        {"someone opens the tamper switch", "end of the scenario",
         {"log      BUTTON,KEY_GPIO3 trigger,", "log      FUNCTION,KEY1 Play Auido,File: /userdata/alarm.mp3; Repeat: 2"}},
    };
    for (const step& st : story) {
        // The registration may come before the first marker is printed.
        const std::size_t begin = st.from.empty() ? 0 : out.find("==>      " + st.from);
        const std::size_t end = out.find("==>      " + st.to);
        ASSERT_NE(begin, std::string::npos) << st.from << "\n" << out;
        ASSERT_NE(end, std::string::npos) << st.to << "\n" << out;
        const std::string part = out.substr(begin, end - begin);
        for (const std::string& line : st.lines)
            EXPECT_NE(part.find(line), std::string::npos) << "after \"" << st.from << "\": " << line << "\n" << out;
    }
    const std::string records = out.substr(out.find("Call records"));
    EXPECT_NE(records.find(",sip:1000@192.168.1.10,1002,"), std::string::npos) << records;
    EXPECT_NE(records.find(",out,ANSWERED,Connection reset by peer [104]"), std::string::npos) << records;
    EXPECT_NE(records.find(",sip:1000@192.168.1.10,2001,"), std::string::npos) << records;
    EXPECT_NE(records.find(",in,ANSWERED,Connection reset by peer [104]"), std::string::npos) << records;
    EXPECT_NE(out.find("Timing chart: " + root + "/timeline.svg"), std::string::npos);
    EXPECT_NE(out.find("Station stopped.\n"), std::string::npos);
    EXPECT_EQ(out.find("did not happen"), std::string::npos) << out;

    const std::string svg = read_text_file(root + "/timeline.svg");
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("key 1 blue (gpio131)"), std::string::npos);
    EXPECT_NE(svg.find("relay (gpio66)"), std::string::npos);
    EXPECT_NE(svg.find("a visitor presses key 1"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);

    EXPECT_EQ(processes_mentioning(root), 0) << "the demo left programs running";
}

TEST(StationSim, InteractivePromptWorksTheStation)
{
    kit_root scratch;
    const std::string root = scratch.path() + "/prompt";
    const std::string input = scratch.path() + "/input";
    scratch.write("/input", "status\npress 2\nwait 2\nstatus\nquit\n");
    const std::string command = emulated_command(STATION_SIM_BINARY) + " interactive --root " + root + " < " + input +
                                " > " + scratch.path() + "/out.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_text_file(scratch.path() + "/out.txt");
    const std::string out = read_text_file(scratch.path() + "/out.txt");
    EXPECT_NE(out.find("station> "), std::string::npos);
    EXPECT_NE(out.find("key 1: "), std::string::npos);
    EXPECT_NE(out.find("==>      press key 2"), std::string::npos);
    EXPECT_NE(out.find("log      FUNCTION,KEY1 Call,key_gpio67 2001 <Primary SIP Account>"), std::string::npos) << out;
    EXPECT_EQ(processes_mentioning(root), 0);
}
