// Whether this user could write a path. The check may run in a sandbox that
// mounts the station's folders read-only in its own view (the metrics
// timer's): there access(2) says EROFS whatever the file allows, and the
// owner, group and mode answer instead. A file system that is itself
// read-only (remounted so after an error, or mounted so at boot) is told
// apart from such a view by its superblock's flags.
#pragma once

#include <string>

// Whether this process's user could write the file, by its owner, group and
// mode.
bool writable_by_mode(const std::string& path);

// access(2)'s answer, or, on a read-only view of a writable file system,
// the owner's, group's and mode's.
bool writable(const std::string& path);

// Whether the file system under `path` is itself read-only, as the kernel's
// mount table says: the superblock's flags, not those of this process's
// view of the mount. False where the table cannot be read.
bool file_system_read_only(const std::string& path);
