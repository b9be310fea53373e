#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the
# simulated station need and this machine lacks, or the packages named as
# arguments (scripts/install-cross-deps.sh names its own). Safe to run again.
set -euo pipefail

packages=(g++ make cmake pkg-config libgtest-dev libgmock-dev
          libhiredis-dev libiniparser-dev libcjson-dev redis-server
          libfaketime baresip-core sip-tester systemd nftables util-linux
          kamailio kamailio-tls-modules openssl python3 strace rsyslog rsyslog-gnutls
          prometheus-node-exporter curl stunnel4 scdoc man-db dpkg-dev lintian)
if [ $# -gt 0 ]; then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
