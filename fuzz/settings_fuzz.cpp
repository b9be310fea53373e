// The settings reader on whatever the device's settings file may hold: each
// read loads the file afresh with iniparser and cuts the value to its size.
#include <cstdio>

#include "common/accounts.h"
#include "common/config.h"
#include "fuzz/fuzz_station.h"
#include "orvanel/core/key_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_station& station = fuzz_station::get();
    // Written as a file, as other software on the device writes it.
    station.root.write("/etc/speaker.conf", fuzz_text(data, size));

    std::string value = "untouched";
    for (const char* key : {"relay_ctrl:type", "account_info_1:username", ":", "no-colon"}) {
        for (std::size_t capacity : {std::size_t{1}, std::size_t{64}}) {
            const int loaded = read_config_value(speaker_conf, key, value, capacity);
            fuzz_require(loaded == 0 || loaded == 1, "a read is loaded or not");
            fuzz_require(loaded == 0 || value.size() < capacity, "a value holds at most size - 1 bytes");
        }
    }
    for (int n = 1; n <= 3; ++n) {
        account_enabled(n);
        account_address_of_record(account_identity_of(n));
    }
    p2p_account_enabled();
    for (int key : {1, 2, 3})
        fuzz_require(key_setting(key, setting::key_next_number_1).size() < setting_entry(setting::key_next_number_1).size,
                     "a key setting fits its size");
    return 0;
}
