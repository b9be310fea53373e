#include "sipbridge/accounts_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

#include "common/accounts.h"
#include "common/c_holders.h"
#include "sipbridge/bridge_rules.h"

namespace {

// A parameter value that the line can carry unquoted.
bool valid_parameter(const std::string& value)
{
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '"' || c == '<' || c == '>' || c == ';' || c == '\\')
            return false;
    }
    return true;
}

}  // namespace

std::vector<settings_account> enabled_settings_accounts()
{
    std::vector<settings_account> accounts;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        accounts.push_back({account_setting(n, "username", 32), account_setting(n, "domain", 128),
                            account_setting(n, "server", 128), account_setting(n, "password", 64)});
    }
    return accounts;
}

accounts_line accounts_file_line(const settings_account& account)
{
    const std::string host = account.domain.empty() ? account.server : account.domain;
    if (!valid_user_part(account.username))
        return {"", "user name \"" + account.username + "\" cannot stand in a SIP address"};
    if (!valid_sip_host(host))
        return {"", "host \"" + host + "\" of " + account.username + " is no host name or address"};
    if (!valid_parameter(account.password))
        return {"", "the password of " + account.username + " holds a blank, quote, '<', '>', ';' or '\\'"};
    const bool outbound = !account.domain.empty() && !account.server.empty() && account.server != account.domain;
    if (outbound && !valid_sip_host(account.server))
        return {"", "server \"" + account.server + "\" of " + account.username + " is no host name or address"};

    std::string line = "<sip:" + account.username + "@" + host + ">";
    if (!account.password.empty())
        line += ";auth_pass=" + account.password;
    if (outbound)
        line += ";outbound=\"sip:" + account.server + "\"";
    line += ";regint=60;answermode=manual";
    return {line, ""};
}

accounts_text accounts_file_text()
{
    accounts_text out;
    out.text = "# Written by sipbridge --write-accounts from speaker.conf; edit the settings, not this file.\n";
    for (const settings_account& account : enabled_settings_accounts()) {
        const accounts_line line = accounts_file_line(account);
        if (line.error.empty())
            out.text += line.line + "\n";
        else
            out.refusals.push_back(line.error + ": the account gets no line");
    }
    if (p2p_account_enabled())
        out.text += std::string("<") + p2p_account_aor + ">;regint=0;answermode=manual\n";
    return out;
}

namespace {

// The whole text into the descriptor, synced.
bool write_all(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

// A file made new in the folder, never through a link: O_EXCL fails on
// anything already there, a planted link included. Given to the folder's
// owner when root writes it, so the user agent's user can read it and no
// one else.
unique_fd create_new(int dir_fd, const std::string& name, const struct stat& dir)
{
    unique_fd fd(::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd && ::geteuid() == 0 && ::fchown(fd.get(), dir.st_uid, dir.st_gid) != 0) {
        const int failure = errno;
        fd.reset();
        ::unlinkat(dir_fd, name.c_str(), 0);  // made here, so it is ours to remove
        errno = failure;
    }
    return fd;
}

}  // namespace

bool write_accounts_file(const std::string& dir, const std::string& text, std::string& error)
{
    const unique_fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat owner {};
    if (!dir_fd || ::fstat(dir_fd.get(), &owner) != 0) {
        error = "cannot open the folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    // A name no one can plant a link at beforehand; tried anew when taken.
    std::random_device random;
    std::string fresh;
    unique_fd out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        fresh = ".accounts." + std::to_string(::getpid()) + "." + std::to_string(random());
        out = create_new(dir_fd.get(), fresh, owner);
        if (!out && errno != EEXIST)
            break;
    }
    if (!out) {
        error = "cannot make a new accounts file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!write_all(out.get(), text) || ::renameat(dir_fd.get(), fresh.c_str(), dir_fd.get(), "accounts") != 0) {
        error = "cannot write " + dir + "/accounts: " + std::strerror(errno);
        ::unlinkat(dir_fd.get(), fresh.c_str(), 0);
        return false;
    }
    // The user agent wants a contacts file beside it; one that is there
    // (or a link there) is left alone.
    create_new(dir_fd.get(), "contacts", owner);
    return true;
}
