#!/usr/bin/env bash
# Runs lintian on the given Debian packages (an arm64 one too: lintian reads a
# foreign architecture's) with its info and pedantic tags shown, and fails on
# any error or warning: lintian's own exit status counts errors only. What
# the package means to do despite lintian is in station/package/lintian-overrides,
# each with its reason.
#   scripts/lintian-package.sh PACKAGE.deb...
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: scripts/lintian-package.sh PACKAGE.deb..." >&2
    exit 2
fi
"$(dirname "$0")/install-deps.sh" lintian
exec lintian --info --display-info --pedantic --fail-on error,warning "$@"
