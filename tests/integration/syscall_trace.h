// A program of the build run under strace, and the file system calls it
// made, in the order it made them: what a power cut would find depends on
// that order (a file synced before its rename, the folder synced after it),
// which the files themselves never show.
#pragma once

#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/process.h"
#include "station_kit/programs.h"

// One system call: its name, its arguments as strace printed them (-y gives
// each descriptor's path, "3</ua>"), and its result.
struct traced_call {
    pid_t pid = 0;
    std::string name;
    std::string args;
    long result = -1;
    std::string result_path;  // an opened descriptor's path
    std::string error;        // "EIO" when it failed

    bool ok() const { return result >= 0; }

    // The paths of the descriptors among the arguments, in order.
    std::vector<std::string> fd_paths() const
    {
        std::vector<std::string> paths;
        for (std::size_t at = args.find("</"); at != std::string::npos; at = args.find("</", at + 1)) {
            const std::size_t end = args.find('>', at);
            std::string path = args.substr(at + 1, end - at - 1);
            const std::string deleted = " (deleted)";
            if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
                path.resize(path.size() - deleted.size());
            paths.push_back(path);
        }
        return paths;
    }

    // The quoted strings among the arguments (names and paths), in order.
    std::vector<std::string> strings() const
    {
        std::vector<std::string> found;
        for (std::size_t at = args.find('"'); at != std::string::npos; at = args.find('"', at + 1)) {
            const std::size_t end = args.find('"', at + 1);
            found.push_back(args.substr(at + 1, end - at - 1));
            at = end;
        }
        return found;
    }

    // A path as the call names it: absolute, or a name in the folder of the
    // descriptor before it (AT_FDCWD's included).
    std::string path(std::size_t index) const
    {
        const std::vector<std::string> names = strings();
        if (index >= names.size())
            return {};
        if (!names[index].empty() && names[index][0] == '/')
            return names[index];
        const std::vector<std::string> folders = fd_paths();
        return (index < folders.size() ? folders[index] : std::string(".")) + "/" + names[index];
    }

    // A successful fsync or fdatasync of the file or folder at the path.
    bool syncs(const std::string& target) const
    {
        return ok() && (name == "fsync" || name == "fdatasync") && fd_paths() == std::vector<std::string>{target};
    }
    // A successful open that made the file at the path.
    bool creates(const std::string& target) const
    {
        return ok() && name == "openat" && args.find("O_CREAT") != std::string::npos && result_path == target;
    }
    // A successful rename: from and to.
    std::optional<std::pair<std::string, std::string>> renamed() const
    {
        if (!ok() || name.rfind("rename", 0) != 0)
            return std::nullopt;
        return std::make_pair(path(0), path(1));
    }
    // The path of a successful removal.
    std::optional<std::string> removed() const
    {
        if (!ok() || name.rfind("unlink", 0) != 0)
            return std::nullopt;
        return path(0);
    }
};

// strace's lines ("PID name(args) = result"), a call that another thread
// interrupted joined from its "<unfinished ...>" and "<... resumed>" parts,
// each call in the place where it started.
inline std::vector<traced_call> parse_trace(const std::string& text)
{
    std::vector<traced_call> calls;
    std::map<pid_t, std::size_t> unfinished;
    // Where the arguments end: the last ")" before the result, which strace
    // sets apart with blanks ("fsync(3</ua>)     = 0").
    const auto args_end = [](const std::string& body) {
        const std::size_t equals = body.rfind(" = ");
        return equals == std::string::npos ? std::string::npos : body.rfind(')', equals);
    };
    const auto finish = [](traced_call& call, const std::string& rest) {
        // rest: ")  = 3</path>", ") = 0", ") = -1 EIO (Input/output error)"
        const std::size_t equals = rest.rfind(" = ");
        if (equals == std::string::npos)
            return;
        std::istringstream result(rest.substr(equals + 3));
        result >> call.result;
        std::string word;
        result >> word;
        if (call.result < 0) {
            call.error = word;
        } else {
            const std::size_t open = rest.find('<', equals);
            if (open != std::string::npos)
                call.result_path = rest.substr(open + 1, rest.rfind('>') - open - 1);
        }
    };
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream head(line);
        pid_t pid = 0;
        if (!(head >> pid))
            continue;
        std::string body = line.substr(line.find_first_not_of(' ', line.find(' ')));
        if (body.rfind("<... ", 0) == 0) {
            const auto pending = unfinished.find(pid);
            const std::size_t resumed = body.find("resumed>");
            const std::size_t close = args_end(body);
            if (pending != unfinished.end() && resumed != std::string::npos && close != std::string::npos) {
                calls[pending->second].args += body.substr(resumed + 8, close - resumed - 8);
                finish(calls[pending->second], body.substr(close));
                unfinished.erase(pending);
            }
            continue;
        }
        const std::size_t paren = body.find('(');
        if (paren == std::string::npos || body.rfind("---", 0) == 0 || body.rfind("+++", 0) == 0)
            continue;
        traced_call call;
        call.pid = pid;
        call.name = body.substr(0, paren);
        const std::string cut = " <unfinished ...>";
        if (body.size() > cut.size() && body.compare(body.size() - cut.size(), cut.size(), cut) == 0) {
            call.args = body.substr(paren + 1, body.size() - cut.size() - paren - 1);
            unfinished[pid] = calls.size();
        } else {
            const std::size_t close = args_end(body);
            if (close == std::string::npos)
                continue;
            call.args = body.substr(paren + 1, close - paren - 1);
            finish(call, body.substr(close));
        }
        calls.push_back(call);
    }
    return calls;
}

inline std::string strace_program()
{
    return find_on_path("strace");
}

// A program of the build under strace: the file system calls of it and of
// everything it starts go to a trace file under the root. INJECT, when
// given, is an strace fault ("fsync:error=EIO:when=2": the second fsync
// fails). The traced program is ended before strace, so none outlives it.
class traced_program {
    // LeakSanitizer cannot run under ptrace: in a sanitizer build it would
    // end every traced program with a fatal error of its own.
    static std::vector<std::string> without_leak_check(std::vector<std::string> env)
    {
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") + "detect_leaks=0");
        return env;
    }

public:
    traced_program(const kit_root& root, const std::vector<std::string>& argv, const std::string& inject = "",
                   const std::vector<std::string>& env = {})
        : trace_path_(root.path() + "/trace." + std::to_string(++serial()))
    {
        std::vector<std::string> args = {"-f", "-qq", "-y", "-s", "4096", "-o", trace_path_, "-e",
                                         "trace=openat,fsync,fdatasync,?rename,?renameat,?renameat2,?unlink,unlinkat"};
        if (!inject.empty()) {
            args.push_back("-e");
            args.push_back("inject=" + inject);
        }
        args.push_back("--");
        for (const std::string& word : emulated(argv))
            args.push_back(word);
        strace_ = kit_program(root, strace_program(), args, without_leak_check(env));
    }
    ~traced_program() { stop(); }
    traced_program(const traced_program&) = delete;
    traced_program& operator=(const traced_program&) = delete;

    // The traced program's exit status (strace gives it back).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout) { return strace_.wait_exit(timeout); }

    // Kills the traced program and waits for strace to write the last lines.
    void stop()
    {
        if (!strace_.running())
            return;
        for (const pid_t child : children_of(strace_.pid()))
            ::kill(child, SIGKILL);
        if (!strace_.wait_exit(10s))
            strace_.kill();
    }

    std::vector<traced_call> calls() const { return parse_trace(read_text_file(trace_path_)); }
    std::string output() const { return strace_.output(); }
    std::string said() const { return strace_.output() + strace_.errors(); }

private:
    static int& serial()
    {
        static int n = 0;
        return n;
    }

    std::string trace_path_;
    kit_program strace_;
};

// The calls in order, one a line, for a failure's message.
inline std::string calls_text(const std::vector<traced_call>& calls)
{
    std::string text;
    for (const traced_call& call : calls)
        text += std::to_string(call.pid) + " " + call.name + "(" + call.args + ") = " + std::to_string(call.result) +
                (call.result_path.empty() ? "" : "<" + call.result_path + ">") + " " + call.error + "\n";
    return text;
}
