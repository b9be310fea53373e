#!/usr/bin/env bash
# Makes a fresh station root in DIR from the station template: settings,
# GPIO value files, sound folders and stand-in tools that record their calls
# in DIR/tools.log.
set -euo pipefail
dir=${1:?usage: make-station-root.sh DIR}
here=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$dir"
mkdir -p "$dir"
cp -a "$here/station/template/." "$dir/"
mkdir -p "$dir/tmp" "$dir/userdata"
