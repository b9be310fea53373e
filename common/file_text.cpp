#include "common/file_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/c_holders.h"

std::optional<std::string> read_file_text(const std::string& path, std::size_t limit, std::string& error)
{
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (fd) {
        char block[4096];
        while (text.size() < limit) {
            const ssize_t n = ::read(fd.get(), block, std::min(sizeof block, limit - text.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    return text;
                break;
            }
            text.append(block, static_cast<std::size_t>(n));
        }
        if (text.size() >= limit)
            return text;
    }
    error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
}
