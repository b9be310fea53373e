#include "common/station_accounts.h"

#include "common/accounts.h"
#include "common/station_protocol.h"

const station_account* station_view::by_index(long index) const
{
    // The index is the one orvanel put into the command, by the same rule.
    if (index < 0)
        return nullptr;
    enabled_account_flags flags{};
    for (const station_account& account : enabled)
        if (account.number >= 1 && account.number < static_cast<int>(flags.size()))
            flags[static_cast<std::size_t>(account.number)] = true;
    for (const station_account& account : enabled)
        if (account_index(flags, account.number) == index)
            return &account;
    return nullptr;
}

const station_account* station_view::by_number(int number) const
{
    for (const station_account& account : enabled)
        if (account.number == number)
            return &account;
    return nullptr;
}

const station_account* station_view::first() const
{
    return enabled.empty() ? nullptr : &enabled.front();
}

station_view read_station_view()
{
    station_view view;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        const account_identity id = account_identity_of(n);
        view.enabled.push_back({n, id.host, account_address_of_record(id), account_status_key(id)});
    }
    view.p2p = p2p_account_enabled();
    return view;
}
