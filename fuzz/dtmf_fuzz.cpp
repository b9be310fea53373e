// The DTMF collection and its limits: digits arrive in pieces of any length
// and content. The collection keeps the newest ones within its capacity and
// reports the code exactly when it ends with it; a call never has more than
// its tries' worth of digits collected without a match, and a locked call or
// a locked station collects nothing.
#include "fuzz/fuzz_station.h"
#include "orvanel/core/call_state.h"
#include "orvanel/relay/door_code_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first byte gives the tries, the second the code's length; the code
    // follows, then the pieces, separated by 0xff. A piece "\xfe" ends the
    // call, and a minute passes.
    const int tries = 1 + data[0] % 5;
    const std::size_t code_length = std::min<std::size_t>(data[1] % 40 % (dtmf_capacity + 1), size - 2);
    const std::string code = fuzz_text(data + 2, code_length);
    const std::string rest = fuzz_text(data + 2 + code_length, size - 2 - code_length);

    door_code_guard guard;
    door_code_guard::time_point now{};
    std::string collected;
    std::string all;
    std::size_t since_match = 0;
    for (const std::string& piece : split(rest + "\xff", '\xff')) {
        if (piece == "\xfe") {
            guard.call_ended();
            collected.clear();
            all.clear();
            since_match = 0;
            now += std::chrono::minutes(1);
            continue;
        }
        if (guard.call_locked() || guard.locked(now))
            continue;
        const std::string usable = piece.substr(0, guard.admit(piece.size(), code.size(), tries));
        all += usable;
        since_match += usable.size();
        const bool matched = collect_dtmf(collected, usable, code);
        fuzz_require(collected.size() <= dtmf_capacity, "the collection stays within its capacity");
        const std::string newest = all.substr(all.size() - std::min(all.size(), dtmf_capacity));
        fuzz_require(collected == newest, "the collection holds the newest digits");
        const bool ends_with_code =
            collected.size() >= code.size() && collected.compare(collected.size() - code.size(), code.size(), code) == 0;
        fuzz_require(matched == ends_with_code, "the code is reported exactly when the collection ends with it");
        fuzz_require(code.empty() || since_match <= static_cast<std::size_t>(tries) * code.size(),
                     "a call collects at most its tries' worth of digits without a match");
        const door_code_guard::verdict verdict = guard.after(matched, code.size(), tries, now);
        if (matched) {
            collected.clear();
            all.clear();
            since_match = 0;
        }
        fuzz_require(!matched || !verdict.call_locked, "a match never locks the call");
        fuzz_require(verdict.lockout <= door_code_guard::longest_lockout, "a lockout lasts at most an hour");
    }
    return 0;
}
