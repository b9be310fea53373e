#include "sipbridge/station_accounts.h"

#include "common/accounts.h"

const station_account* station_view::by_index(long index) const
{
    if (index < 0 || index >= static_cast<long>(enabled.size()))
        return nullptr;
    return &enabled[static_cast<std::size_t>(index)];
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
