// The door code attacked as a stranger would: every four-digit code, as
// RFC 2833 events as fast as the user agent takes them, sent into the media
// of a call that still rings and of a call answered at the station, with
// the real baresip, sipbridge, orvanel and outputd. The relay line must
// never move.
#include <atomic>
#include <functional>
#include <thread>

#include "station_kit/rtp_dtmf.h"
#include "tests/sip/sip_station.h"

class DoorAttack : public SipStation {
protected:
    // Runs the attack and watches the relay line for as long as it lasts,
    // however long the sending takes; true when gpio66 stayed low.
    bool shut_throughout(const std::function<void()>& attack)
    {
        std::atomic<bool> done{false};
        std::thread attacker([&] {
            attack();
            done = true;
        });
        bool shut = true;
        wait_until([&] {
            shut = shut && root.gpio(66) == 0;
            return done.load();
        }, 120s);
        attacker.join();
        return shut;
    }
};

TEST_F(DoorAttack, EveryFourDigitCodeNeverOpensARingingOrAnAnsweredCall)
{
    const std::string every_code = de_bruijn_digits(4);
    ASSERT_EQ(every_code.size(), 10003u);
    ASSERT_NE(every_code.find("1234"), std::string::npos);

    // No call trigger: only a code could switch the relay.
    start_registered(settings("next_number_1 = 1001\n", "call_state = no\n"));
    const std::unique_ptr<kit_program> caller = sip.call_station("holding_caller.xml");
    ASSERT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"ring"})"); }))
        << caller->report("caller");

    // The call rings: the digits go to every port of the media range.
    rtp_dtmf_target target;
    target.ports = sip.media_ports();
    EXPECT_TRUE(shut_throughout([&] { send_rtp_dtmf(every_code, target, 600); }));
    EXPECT_TRUE(sip.bridge()->wait_output("not passed on: no call is established"))
        << "the digits reached the user agent, which the bridge reports once";
    EXPECT_EQ(occurrences(sip.bridge()->output(), "not passed on"), 1u);
    EXPECT_FALSE(has_entry_starting("FUNCTION,RECEIVE DTMF,"));

    // The attacker answers at the station with key 2 and tries again.
    tap(67);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,incoming") == 1; }));
    EXPECT_TRUE(shut_throughout([&] { send_rtp_dtmf(every_code, target, 600); }));

    // The station heard the attack: most digits reached session-channel,
    // twelve were recorded, and the call was locked once.
    EXPECT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,call") == 1; }, 10s));
    const auto heard = [&] { return occurrences(sip.bridge()->output(), R"("type":"CALL_DTMF_START")"); };
    EXPECT_TRUE(wait_until([&] { return heard() > 9000; }, 30s)) << heard() << " digits passed on by the bridge";
    EXPECT_TRUE(holds([&] { return root.gpio(66) == 0; }, 500ms));
    size_t recorded = 0;
    for (const std::string& entry : oplog())
        recorded += entry.rfind("FUNCTION,RECEIVE DTMF,", 0) == 0;
    EXPECT_EQ(recorded, 12u) << "three tries of four digits, then nothing";
}
