// The kit's settings builder, read back with the programs' own reader: what
// the benchmark, the soak and the fuzz station set is what the programs see.
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/config.h"
#include "station_kit/root.h"
#include "station_kit/settings.h"

class KitSettings : public ::testing::Test {
protected:
    std::string read_back(const char* key) const { return config_value(speaker_conf, key, 256); }

    kit_root root;
    root_in_process in_root{root};
};

TEST_F(KitSettings, TheProgramsReadWhatWasSet)
{
    root.write_settings(device_settings("soak.test")
                            .set("relay_ctrl", "dtmf", "yes")
                            .set("button-gpio140", "api_url", "http://door.test/open?a=1;b=2")
                            .set("unpack-intercom", "number", R"(say "hi" #1)")
                            .set("new-section", "key", "value")
                            .text());
    EXPECT_EQ(read_back("account_info_1:domain"), "soak.test");
    EXPECT_EQ(read_back("account_info_1:server"), "soak.test");
    EXPECT_EQ(read_back("relay_ctrl:dtmf"), "yes");
    EXPECT_EQ(read_back("relay_ctrl:dtmf_code"), "1234");
    // A comment character would cut an unquoted value.
    EXPECT_EQ(read_back("button-gpio140:api_url"), "http://door.test/open?a=1;b=2");
    EXPECT_EQ(read_back("unpack-intercom:number"), R"(say "hi" #1)");
    EXPECT_EQ(read_back("new-section:key"), "value");
}

TEST_F(KitSettings, AnEntryThatWouldBreakTheFileIsRefused)
{
    station_settings s;
    EXPECT_THROW(s.set("relay_ctrl", "dtmf_code", "1234\n[relay_ctrl]\ndtmf = yes"), std::invalid_argument);
    EXPECT_THROW(s.set("relay_ctrl]", "dtmf", "yes"), std::invalid_argument);
    EXPECT_THROW(s.set("relay_ctrl", "dtmf = yes", ""), std::invalid_argument);
    EXPECT_THROW(s.set("relay_ctrl", "", "yes"), std::invalid_argument);
    EXPECT_THROW(s.set("relay_ctrl", "dtmf_code", R"(a"b'c;d)"), std::invalid_argument);
    EXPECT_EQ(s.text(), "");
}
