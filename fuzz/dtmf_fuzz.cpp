// The DTMF collection: digits arrive in pieces of any length and content; the
// collection keeps the newest ones within its capacity and reports the code
// exactly when it ends with it.
#include "fuzz/fuzz_station.h"
#include "orvanel/core/call_state.h"
#include "orvanel/relay/relay_triggers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte gives the code's length; the code follows, then the
    // pieces, separated by 0xff.
    const std::size_t code_length = std::min<std::size_t>(data[0] % 40, size - 1);
    const std::string code = fuzz_text(data + 1, code_length);
    std::string collected;
    std::string all;
    const std::string rest = fuzz_text(data + 1 + code_length, size - 1 - code_length);
    for (const std::string& piece : split(rest + "\xff", '\xff')) {
        all += piece;
        const bool matched = collect_dtmf(collected, piece, code);
        fuzz_require(collected.size() <= dtmf_capacity, "the collection stays within its capacity");
        const std::string newest = all.substr(all.size() - std::min(all.size(), dtmf_capacity));
        fuzz_require(collected == newest, "the collection holds the newest digits");
        const bool ends_with_code =
            collected.size() >= code.size() && collected.compare(collected.size() - code.size(), code.size(), code) == 0;
        fuzz_require(matched == ends_with_code, "the code is reported exactly when the collection ends with it");
    }
    return 0;
}
