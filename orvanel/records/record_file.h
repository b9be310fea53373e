// A record file: a text file of whole lines that the station only appends to
// (the operation log, the call records). Each line goes to the file in one
// write and is synced to storage before it counts as written. A line that
// cannot be written whole (storage full, read-only, gone) is cut off again,
// and so is a part line that a power cut left at the end, so the file always
// ends with a whole line and no record is glued to a broken one. A file that
// is missing is made with its first line, and its folder synced before that
// line counts, so that a power cut cannot take the new file's name away
// with the lines in it.
#pragma once

#include <string>

#include "common/c_holders.h"

class record_file {
public:
    // A device path; the station root is applied here.
    explicit record_file(const std::string& device_path);

    // Opens the file for appending, creating it when missing and then
    // syncing its folder. False, with the reason in failure(), when it
    // cannot be opened, or its folder synced after it was made (the file is
    // removed again then).
    bool open();
    // Appends one line (ending in "\n"), opening the file first when it is
    // not open, or when the open file was removed meanwhile. False, with the
    // reason in failure(), when the line is not in the file; the file is
    // then closed so the next try opens it anew.
    bool append(const std::string& line);
    void close() { fd_.reset(); }
    // True when the file's last line is this one (ending in "\n").
    bool ends_with(const std::string& line);

    const std::string& path() const { return path_; }
    bool is_open() const { return static_cast<bool>(fd_); }
    // What the last open or append that failed could not do, with the
    // system's reason: "cannot write /userdata/system.csv: No space left on
    // device".
    const std::string& failure() const { return failure_; }

private:
    bool fail(const char* step, int error);

    std::string path_;
    unique_fd fd_;
    std::string failure_;
};

// How a writer meets storage that refuses its lines: the first refusal of a
// run is told in the message log, the writer keeps the line and pauses 5 s
// before it tries it again, and the first line written after the run says
// that the file is written again.
class storage_outage {
public:
    // What the writer keeps, for the message: "the entry", "the call record".
    explicit storage_outage(const char* kept) : kept_(kept) {}

    // Called after each append: true, after the pause, when the line did
    // not reach the file.
    bool refused(const record_file& file);
    // True while the file refuses: a line tried again is not news.
    bool in_run() const { return in_run_; }

private:
    const char* kept_;
    bool in_run_ = false;
};

// The length of the file's whole lines: its size up to and including the
// last line end (0 when it has none). -1 when the file cannot be read.
long long whole_lines_length(int fd);
