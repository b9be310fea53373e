#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include "common/redis_trust.h"
#include "common/system_user.h"

TEST(SystemUser, DigitsAreAUidAndAnythingElseAUserName)
{
    EXPECT_EQ(user_id("0"), 0u);
    EXPECT_EQ(user_id("65534"), 65534u);
    EXPECT_EQ(user_id("0102"), 102u);
    EXPECT_EQ(user_id("4294967294"), 4294967294u);
    EXPECT_EQ(user_id("root"), 0u);
    const passwd* own = getpwuid(getuid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(user_id(own->pw_name), getuid());

    EXPECT_EQ(user_id(""), std::nullopt);
    EXPECT_EQ(user_id("no-such-station-user"), std::nullopt);
    EXPECT_EQ(user_id("4294967295"), std::nullopt) << "(uid_t)-1 is no uid";
    EXPECT_EQ(user_id("99999999999999999999"), std::nullopt) << "too large for a uid";
    EXPECT_EQ(user_id("-1"), std::nullopt) << "a name, and nobody's";
    EXPECT_EQ(user_id(" 0"), std::nullopt) << "a name, and nobody's";
    EXPECT_EQ(user_id("12a"), std::nullopt) << "a name, and nobody's";
}

TEST(RedisTrust, RootAndTheRedisUserAreTrustedAndNobodyElse)
{
    EXPECT_EQ(untrusted_server(0, "redis", 102u), std::nullopt);
    EXPECT_EQ(untrusted_server(102, "redis", 102u), std::nullopt);
    EXPECT_EQ(untrusted_server(65534, "redis", 102u), "it runs as uid 65534, not root or redis");
    EXPECT_EQ(untrusted_server(65534, "102", 102u), "it runs as uid 65534, not root or uid 102");

    // A Redis user that does not exist trusts nobody but root.
    EXPECT_EQ(untrusted_server(0, "gone", std::nullopt), std::nullopt);
    EXPECT_EQ(untrusted_server(102, "gone", std::nullopt),
              "it runs as uid 102, not root (the Redis user gone is unknown here, so only root is trusted)");

    // The name comes from the environment; the reason stays one line.
    EXPECT_EQ(untrusted_server(7, "a\nb", std::nullopt)->find('\n'), std::string::npos);
}
