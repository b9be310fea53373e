#include "tlsrelay/relay_verdicts.h"

#include <cstdlib>

#include "common/file_text.h"
#include "tlsrelay/relay_plan.h"

namespace {

constexpr std::size_t verdict_limit = 4096;

struct word_of {
    relay_verdict::state result;
    const char* word;
};
constexpr word_of words[] = {
    {relay_verdict::state::connecting, "connecting"},   {relay_verdict::state::verified, "verified"},
    {relay_verdict::state::untrusted, "not-trusted"},   {relay_verdict::state::name_mismatch, "name-mismatch"},
    {relay_verdict::state::refused, "refused"},         {relay_verdict::state::unreachable, "unreachable"},
};

// The text after mark, to the line's end; nothing without the mark.
std::optional<std::string> after(const std::string& line, const std::string& mark)
{
    const std::size_t at = line.find(mark);
    if (at == std::string::npos)
        return std::nullopt;
    return line.substr(at + mark.size());
}

// A space or newline would end a field of the verdict line.
std::string one_word(std::string text)
{
    for (char& c : text)
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r')
            c = '_';
    return text.empty() ? "-" : text;
}

std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

const char* verdict_word(relay_verdict::state result)
{
    for (const word_of& w : words)
        if (w.result == result)
            return w.word;
    return "connecting";
}

std::string verdict_line(const relay_verdict& verdict)
{
    return std::string(verdict_word(verdict.result)) + " " + one_word(verdict.destination) + " " +
           one_word(verdict.name) + " " + std::to_string(verdict.time) + " " + one_line(verdict.detail) + "\n";
}

std::optional<relay_verdict> parse_verdict_line(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    while (fields.size() < 4) {
        const std::size_t space = line.find(' ', from);
        if (space == std::string::npos)
            return std::nullopt;
        fields.push_back(line.substr(from, space - from));
        from = space + 1;
    }
    relay_verdict verdict;
    bool known = false;
    for (const word_of& w : words)
        if (fields[0] == w.word) {
            verdict.result = w.result;
            known = true;
        }
    char* end = nullptr;
    verdict.time = std::strtoll(fields[3].c_str(), &end, 10);
    if (!known || fields[3].empty() || *end != '\0')
        return std::nullopt;
    verdict.destination = fields[1];
    verdict.name = fields[2];
    verdict.detail = line.substr(from, line.find('\n', from) - from);
    return verdict;
}

std::optional<std::string> verdict_failure_reason(const relay_verdict& verdict)
{
    switch (verdict.result) {
    case relay_verdict::state::untrusted:
        return std::string("TLS: certificate not trusted");
    case relay_verdict::state::name_mismatch:
        return std::string("TLS: name mismatch");
    case relay_verdict::state::refused:
        return "TLS: " + (verdict.detail.empty() ? std::string("certificate refused") : verdict.detail);
    default:
        return std::nullopt;
    }
}

std::string verdict_path(const std::string& run_dir, const std::string& service)
{
    return run_dir + "/verdict-" + service;
}

std::optional<relay_verdict> read_verdict(const std::string& run_dir, const std::string& destination)
{
    for (int n = 1; n <= relay_ports; ++n) {
        std::string error;
        const std::optional<std::string> text =
            read_file_text(verdict_path(run_dir, "pbx" + std::to_string(n)), verdict_limit, error);
        if (!text)
            continue;
        const std::optional<relay_verdict> verdict = parse_verdict_line(*text);
        if (verdict && verdict->destination == destination)
            return verdict;
    }
    return std::nullopt;
}

std::vector<relay_service> relay_services(const std::string& config_text)
{
    std::vector<relay_service> services;
    std::string section;
    relay_service current;
    const auto finish = [&] {
        if (!current.service.empty() && !current.destination.empty())
            services.push_back(current);
        current = {};
    };
    for (std::size_t from = 0; from < config_text.size();) {
        const std::size_t end = std::min(config_text.find('\n', from), config_text.size());
        const std::string line = trimmed(config_text.substr(from, end - from));
        from = end + 1;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            finish();
            section = line.substr(1, line.size() - 2);
            const std::size_t dash = section.rfind("-out");
            if (dash != std::string::npos && dash + 4 == section.size())
                current.service = section.substr(0, dash);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current.service.empty() || equals == std::string::npos)
            continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (key == "connect") {
            // stunnel's HOST:PORT: an IPv6 address stands without brackets,
            // the installer's form has them.
            const std::size_t colon = value.rfind(':');
            const std::string host = value.substr(0, colon);
            current.destination = host.find(':') != std::string::npos
                                      ? "[" + host + "]" + value.substr(colon)
                                      : value;
        } else if (key == "checkHost" || key == "checkIP") {
            current.name = value;
        }
    }
    finish();
    return services;
}

std::optional<relay_log_reader::outcome> relay_log_reader::take(const std::string& line)
{
    // "2026.12.10 08:43:00 LOG5[1]: Service [pbx1-out] accepted connection ..."
    const std::size_t log = line.find(" LOG");
    if (log == std::string::npos || log + 6 >= line.size() || line[log + 5] != '[')
        return std::nullopt;
    const std::size_t close = line.find("]: ", log);
    if (close == std::string::npos)
        return std::nullopt;
    const std::string connection = line.substr(log + 6, close - log - 6);
    const std::string text = line.substr(close + 3);

    if (const std::optional<std::string> accepted = after(text, "Service [")) {
        const std::size_t end = accepted->find("] accepted connection");
        const std::string section = accepted->substr(0, end);
        if (end != std::string::npos && section.size() > 4 && section.compare(section.size() - 4, 4, "-out") == 0) {
            const std::string service = section.substr(0, section.size() - 4);
            if (service_of_.size() >= 256) {  // closings that never came: none is kept for ever
                service_of_.clear();
                settled_.clear();
            }
            service_of_[connection] = service;
            settled_[connection] = false;
            return outcome{service, relay_verdict::state::connecting, {}};
        }
        return std::nullopt;
    }
    const auto found = service_of_.find(connection);
    if (found == service_of_.end())
        return std::nullopt;
    const std::string service = found->second;
    if (text.rfind("Connection closed", 0) == 0 || text.rfind("Connection reset", 0) == 0) {
        service_of_.erase(connection);
        settled_.erase(connection);
        return std::nullopt;
    }
    if (settled_[connection])
        return std::nullopt;

    std::optional<outcome> settled;
    if (const std::optional<std::string> error = after(text, "CERT: Pre-verification error: ")) {
        // OpenSSL's words for a chain that ends at no CA of the file.
        const bool trust = error->find("issuer certificate") != std::string::npos ||
                           error->find("self-signed") != std::string::npos ||
                           error->find("self signed") != std::string::npos ||
                           error->find("verify the first certificate") != std::string::npos ||
                           error->find("signature failure") != std::string::npos;
        settled = outcome{service, trust ? relay_verdict::state::untrusted : relay_verdict::state::refused, *error};
    } else if (text.rfind("CERT: Subject checks failed", 0) == 0) {
        settled = outcome{service, relay_verdict::state::name_mismatch, "the certificate carries another name"};
    } else if (text.rfind("Certificate accepted at depth=0", 0) == 0) {
        settled = outcome{service, relay_verdict::state::verified, {}};
    } else if (const std::optional<std::string> failed = after(text, "s_connect: connect ")) {
        // "s_connect: connect 192.0.2.10:5061: Connection refused (111)"
        const std::size_t colon = failed->find(": ");
        settled = outcome{service, relay_verdict::state::unreachable,
                          colon == std::string::npos ? *failed : failed->substr(colon + 2)};
    } else if (text.rfind("No more addresses to connect", 0) == 0 || text.find("Error resolving") != std::string::npos ||
               text.rfind("s_connect: s_poll_wait", 0) == 0) {
        settled = outcome{service, relay_verdict::state::unreachable, text};
    }
    if (settled)
        settled_[connection] = true;
    return settled;
}
