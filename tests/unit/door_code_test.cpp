// The door code's collection and its limits, with time passed in.
#include <gtest/gtest.h>

#include "orvanel/core/call_state.h"
#include "orvanel/relay/door_code_guard.h"

using namespace std::chrono_literals;

namespace {

// One call of the station, as the event thread feeds the guard: each event's
// digits are counted, the usable ones collected, and the outcome followed.
struct door {
    door_code_guard guard;
    door_code_guard::time_point now{};
    std::string code = "1234";
    int tries = 3;
    std::string collected;
    int openings = 0;
    door_code_guard::verdict last;

    // False when the digits were refused before counting (a locked call or
    // a running lockout).
    bool send(const std::string& digits)
    {
        if (guard.call_locked() || guard.locked(now))
            return false;
        const std::size_t usable = guard.admit(digits.size(), code.size(), tries);
        const bool matched = collect_dtmf(collected, digits.substr(0, usable), code);
        last = guard.after(matched, code.size(), tries, now);
        if (matched) {
            ++openings;
            collected.clear();
        }
        return true;
    }
    void send_each(const std::string& digits)
    {
        for (const char d : digits)
            send(std::string(1, d));
    }
    void end_call()
    {
        guard.call_ended();
        collected.clear();
    }
    // A call that uses up its tries with wrong digits, then ends.
    door_code_guard::verdict locked_call()
    {
        send_each(std::string(static_cast<std::size_t>(tries) * code.size(), '9'));
        const door_code_guard::verdict verdict = last;
        end_call();
        return verdict;
    }
};

}  // namespace

TEST(DoorCode, MatchesAfterWrongDigitsAndKeepsTheMostRecentDigits)
{
    std::string collected;
    EXPECT_FALSE(collect_dtmf(collected, "9", "1234"));
    EXPECT_FALSE(collect_dtmf(collected, "123", "1234"));
    EXPECT_TRUE(collect_dtmf(collected, "4", "1234"));

    collected.clear();
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(collect_dtmf(collected, "7", "1234"));
    EXPECT_EQ(collected.size(), dtmf_capacity);
    EXPECT_TRUE(collect_dtmf(collected, "1234", "1234")) << "a full collection still takes a code";

    collected.clear();
    EXPECT_TRUE(collect_dtmf(collected, "5", "")) << "an empty code matches every digit";
}

TEST(DoorCode, TheRightCodeWithinTheTriesOpensAsBefore)
{
    door d;
    d.send_each("98769876");  // two wrong tries
    d.send_each("1234");
    EXPECT_EQ(d.openings, 1);
    EXPECT_FALSE(d.guard.call_locked());

    // A match gives the call its tries again: eight more wrong digits and
    // the code still open.
    d.send_each("555555551234");
    EXPECT_EQ(d.openings, 2);

    // The sliding window: the code after any wrong digits within the tries.
    door e;
    e.send_each("9991234");
    EXPECT_EQ(e.openings, 1);
}

TEST(DoorCode, ACallThatUsedUpItsTriesIsLocked)
{
    door d;
    d.send_each("98769876987");  // eleven digits
    EXPECT_FALSE(d.guard.call_locked());
    d.send("6");  // the twelfth: three tries of a four-digit code
    EXPECT_TRUE(d.last.call_locked);
    EXPECT_TRUE(d.guard.call_locked());
    EXPECT_FALSE(d.send("1234")) << "the right code no longer counts in this call";
    EXPECT_EQ(d.openings, 0);

    // An event of several digits is cut at the limit: the code that lies
    // past it opens nothing.
    door e;
    e.send_each("9999999999");
    e.send("1234");
    EXPECT_EQ(e.openings, 0);
    EXPECT_TRUE(e.guard.call_locked());

    // The next call has all its tries.
    d.end_call();
    d.send_each("1234");
    EXPECT_EQ(d.openings, 1);

    // Other tries and lengths: tries x length digits.
    door f;
    f.tries = 5;
    f.code = "123456";
    f.send_each(std::string(29, '0'));
    EXPECT_FALSE(f.guard.call_locked());
    f.send("0");
    EXPECT_TRUE(f.guard.call_locked());
}

TEST(DoorCode, ThreeLockedCallsInARowLockTheStationWithDoublingTimes)
{
    door d;
    EXPECT_EQ(d.locked_call().lockout, 0s);
    d.now += 10min;
    EXPECT_EQ(d.locked_call().lockout, 0s);
    // Calls without digits between them do not break the row: only a match does.
    d.end_call();
    d.end_call();
    EXPECT_EQ(d.locked_call().lockout, 60s);
    EXPECT_TRUE(d.guard.locked(d.now + 59s));
    EXPECT_EQ(d.guard.remaining(d.now + 59s), 1000ms);

    d.now += 30s;
    EXPECT_FALSE(d.send("1234")) << "every code is refused during a lockout";
    EXPECT_TRUE(d.guard.first_refusal_in_call());
    EXPECT_FALSE(d.guard.first_refusal_in_call()) << "said once per call";
    d.end_call();
    EXPECT_TRUE(d.guard.first_refusal_in_call());
    d.end_call();

    d.now += 30s;
    EXPECT_FALSE(d.guard.locked(d.now));
    EXPECT_EQ(d.locked_call().lockout, 0s) << "digits during the lockout counted for nothing";
    EXPECT_EQ(d.locked_call().lockout, 0s);
    EXPECT_EQ(d.locked_call().lockout, 120s) << "each further lockout doubles";

    for (const auto expected : {240s, 480s, 960s, 1920s, 3600s, 3600s}) {
        d.now += 2h;
        d.locked_call();
        d.locked_call();
        EXPECT_EQ(d.locked_call().lockout, expected);
    }
}

TEST(DoorCode, HangingUpShortOfTheLimitGainsNothing)
{
    // Calls of eleven digits each, one short of a call's limit: the
    // station counts their digits, so the fourth call brings the lockout at
    // its third digit, the 36th wrong one, as three calls of twelve do.
    door d;
    for (int call = 0; call < 3; ++call) {
        d.send_each("98765432109");
        EXPECT_FALSE(d.guard.call_locked());
        d.end_call();
        EXPECT_EQ(d.guard.wrong_digits(), 11u * static_cast<unsigned>(call + 1))
            << "the call's wrong digits count for the station";
    }
    d.send_each("98");
    EXPECT_EQ(d.last.lockout, 0s);
    d.send("7");
    EXPECT_EQ(d.last.lockout, 60s);
    EXPECT_FALSE(d.last.call_locked) << "the call itself had tries left: no call entry";
    EXPECT_TRUE(d.guard.call_locked()) << "but they are gone with the lockout";
    EXPECT_EQ(d.guard.wrong_digits(), 0u);
    EXPECT_FALSE(d.guard.call_ended()) << "nothing of it counts after the lockout";

    // After it the count starts afresh, and the next lockout doubles.
    d.now += 61s;
    for (int call = 0; call < 4; ++call) {
        d.send_each("9876543210");
        d.end_call();
    }
    EXPECT_TRUE(d.guard.locked(d.now + 119s)) << "the 36th wrong digit, in the fourth call";
    EXPECT_FALSE(d.guard.locked(d.now + 120s));
    EXPECT_EQ(d.guard.wrong_digits(), 0u) << "the fourth call's digits after it counted for nothing";

    // A match within the tries still opens, and forgets the count.
    door e;
    e.send_each("98765432109");
    e.end_call();
    e.send_each("5551234");
    EXPECT_EQ(e.openings, 1);
    EXPECT_EQ(e.guard.wrong_digits(), 0u);
    EXPECT_FALSE(e.guard.call_ended()) << "a call that matched last leaves nothing";
}

TEST(DoorCode, AMatchOrAQuietDayForgetsTheLockedCalls)
{
    door d;
    d.locked_call();
    d.locked_call();
    d.locked_call();
    d.now += 61s;
    d.locked_call();
    d.locked_call();
    d.send_each("1234");
    EXPECT_EQ(d.openings, 1);
    EXPECT_EQ(d.guard.wrong_digits(), 0u);
    EXPECT_EQ(d.guard.lockouts(), 0);
    d.end_call();
    d.locked_call();
    d.locked_call();
    EXPECT_EQ(d.locked_call().lockout, 60s) << "the doubling starts again after a match";

    d.now += 25h;
    d.locked_call();
    d.locked_call();
    EXPECT_EQ(d.guard.lockouts(), 0) << "a day without a locked call forgets the lockouts";
    EXPECT_EQ(d.locked_call().lockout, 60s);
}

TEST(DoorCode, TheEmptyCodeIsNeverLimited)
{
    door d;
    d.code = "";
    d.send_each(std::string(100, '7'));
    EXPECT_EQ(d.openings, 100);
    EXPECT_FALSE(d.guard.call_locked());
}

TEST(DoorCode, ARestoredLockoutHoldsAndMerges)
{
    door d;
    d.guard.restore(24, 1, 30s, d.now);
    EXPECT_TRUE(d.guard.locked(d.now + 29s));
    EXPECT_FALSE(d.guard.locked(d.now + 30s));
    d.now += 30s;
    EXPECT_EQ(d.locked_call().lockout, 120s) << "the third locked call, after one lockout";

    // What the process saw itself is not shortened by an older kept state.
    d.guard.restore(0, 0, 0ms, d.now);
    EXPECT_TRUE(d.guard.locked(d.now + 119s));
    EXPECT_EQ(d.guard.lockouts(), 2);

    // Kept values that no running station writes are held within bounds.
    door e;
    e.guard.restore(-5, 1000, 100h, e.now);
    EXPECT_EQ(e.guard.wrong_digits(), 0u);
    EXPECT_TRUE(e.guard.locked(e.now + 3599s));
    EXPECT_FALSE(e.guard.locked(e.now + 3600s));
}

TEST(DoorCode, TriesSettingIsAPositiveWholeNumberOrThree)
{
    EXPECT_EQ(door_code_guard::tries_of_setting("5"), 5);
    EXPECT_EQ(door_code_guard::tries_of_setting("1"), 1);
    for (const char* bad : {"", "0", "-2", "5 tries", " 5", "abc", "99999999999"})
        EXPECT_EQ(door_code_guard::tries_of_setting(bad), 3) << bad;
}
