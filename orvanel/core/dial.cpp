#include "orvanel/core/dial.h"

#include <cstdio>

#include "common/accounts.h"
#include "common/process.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/publish.h"

void enabled_accounts(account_list& list)
{
    enabled_account_flags enabled{};
    for (int n = 1; n <= 3; ++n)
        enabled[n] = account_enabled(n);
    list = {-1, -1, -1, -1};
    for (int n = 1; n <= 3; ++n)
        list[n] = account_index(enabled, n);
}

const char* account_label(int line)
{
    switch (line) {
    case 1: return "Auto";
    case 2: return "Primary SIP Account";
    case 3: return "Secondary SIP Account-1";
    case 4: return "Secondary SIP Account-2";
    case 5: return "P2P ACCOUNT";
    default: return "";
    }
}

bool dial_number(const std::string& number, int line, bool echo)
{
    account_list list;
    enabled_accounts(list);

    std::string text;
    if (line == LINE_AUTO) {
        const int r1 = account_flag(1), r2 = account_flag(2), r3 = account_flag(3);
        if (debug_mode)
            std::printf("ACCOUNT1 is %d, ACCOUNT2 is %d, ACCOUNT3 is %d\n", r1, r2, r3);
        const int account = r1 == 1 ? 1 : r2 == 1 ? 2 : r3 == 1 ? 3 : 0;
        if (account == 0 || list[account] == -1)
            return false;
        text = dial_command_text(number, list[account]);
    } else if (line >= 2 && line <= 4) {
        const int account = line - 1;
        if (list[account] == -1 || account_flag(account) != 1)
            return false;
        text = dial_command_text(number, list[account]);
    } else if (line == LINE_P2P) {
        text = p2p_dial_command_text(number);
    } else {
        return false;
    }

    if (echo && debug_mode)
        std::printf("dial [%s]\n", text.c_str());
    publish_command(TARGET_CONTROL, text);
    return true;
}
