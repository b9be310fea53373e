// station-sitelog --write-config: the station's rsyslogd instance's
// configuration and its copy of the site's CA, in the instance's folder,
// from [site]. All of it or nothing: a setting that cannot be used is named
// with the reason on standard error, and the folder keeps what it had. Each
// file is replaced so that a power cut leaves the old one or the new one;
// no log_server removes both, which keeps the instance from starting.
#pragma once

enum class site_outcome { changed, unchanged, refused };

site_outcome write_site_config();
