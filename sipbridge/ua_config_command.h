// sipbridge --write-config DIR: the user agent's whole configuration from
// the settings, in its folder. All of it or nothing: a setting the user
// agent cannot use is named with the reason, and the folder keeps the files
// it had, which a running user agent was started with.
#pragma once

#include <string>

enum class config_outcome { changed, unchanged, refused };

config_outcome write_config(const std::string& dir);
