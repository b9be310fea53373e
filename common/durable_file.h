// Files that must outlive a power cut. A file's own sync keeps its data, not
// its name: a file made, renamed over another or removed is there (or gone)
// after a cut only once the folder that holds it is synced too. So the
// station replaces a file by writing a fresh name in the same folder,
// syncing it, renaming it over the old name and then syncing the folder;
// a file that it appends to has its folder synced when it makes the file.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

// The folder that holds the path: "/userdata" for "/userdata/system.csv",
// "/" for "/system.csv", "." for a bare name.
std::string folder_of(const std::string& path);

// Syncs the folder that the descriptor is open on. False, with errno set,
// when the sync fails.
bool sync_folder(int folder_fd);

// Opens the folder and syncs it. False, with errno set, when it cannot be
// opened or synced.
bool sync_folder(const std::string& folder);

// Who a file made by root belongs to (the owner of the folder it is for).
struct file_owner {
    uid_t uid;
    gid_t gid;
};

// Makes NAME in the folder open on FOLDER_FD as a new, empty file of the
// mode, never through a link: O_EXCL fails on anything already there, a
// planted link included. Run as root, the file is given to OWNER when one is
// named (and removed again when that fails). The descriptor, or none with
// errno set.
int create_new_file(int folder_fd, const std::string& name, mode_t mode, const std::optional<file_owner>& owner);

// How a replacement ended: done, or the step that failed and its errno.
struct replacement {
    enum class step { done, create, write, rename, sync_folder };
    step failed = step::done;
    int error = 0;
    explicit operator bool() const { return failed == step::done; }
};

// Replaces NAME in the folder open on FOLDER_FD with TEXT, so that a power
// cut leaves the old file or the new one: the text goes to a new file of an
// unforeseeable name beside it (made by create_new_file), is synced, renamed
// over NAME, and then the folder is synced. A failure up to the rename
// removes the new file and leaves the old one; a failed sync of the folder
// leaves the new file in place, but it may not survive a power cut.
replacement replace_file(int folder_fd, const std::string& name, const std::string& text, mode_t mode,
                         const std::optional<file_owner>& owner);
