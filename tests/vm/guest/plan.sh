# The VM test's network and accounts, shared by the guest's scripts.
#
# The station is the guest itself: eth0 at 10.0.2.15 (QEMU's user network,
# restricted to QEMU) and 2001:db8:1::15. Its peers live in network
# namespaces of the guest, each behind a veth pair:
#   pbx       Kamailio (registrar and proxy, digest auth) at 192.0.2.10:5060
#             and the far phone (baresip) at 192.0.2.10:5070
#   stranger  an unknown host at 198.51.100.66 and 2001:db8:3::66
# shellcheck shell=bash

SHARE=/run/vmtest
PEERS=/run/vmtest-peers

STATION_V4=10.0.2.15
STATION_V6=2001:db8:1::15
PBX_V4=192.0.2.10
PBX_V6=2001:db8:2::10
STRANGER_V4=198.51.100.66
STRANGER_V6=2001:db8:3::66

PBX_PORT=5060
PBX_TLS_PORT=5061
PBX_TLS_NAME=pbx.vm.test
FAR_SIP_PORT=5070
FAR_CONTROL_PORT=5444
FAR_RTP_FIRST=20000

STATION_NUMBER=2000
STATION_PASSWORD='door;station "secret"'
FAR_NUMBER=3000
FAR_OTHER_NUMBER=3001
FAR_PASSWORD=far-secret
DOOR_CODE=739146
