// sipbridge --write-config DIR: the user agent's whole configuration from
// the settings, in its folder. All of it or nothing: a setting the user
// agent cannot use is named with the reason, and the folder keeps the files
// it had, which a running user agent was started with. Each file is
// replaced so that a power cut leaves the old one or the new one. A folder
// that cannot be synced after a file went into place is said, and the run
// goes on: the file is the one the user agent is to start with, and the next
// start writes it again from the settings should a power cut take it back.
#pragma once

#include <string>

enum class config_outcome { changed, unchanged, refused };

config_outcome write_config(const std::string& dir);
