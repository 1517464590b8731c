#!/usr/bin/env bash
# Runs a command in a private network namespace with loopback up and an eth0 holding the
# documentation address 192.0.2.10/24, as in the end-to-end tests: the NDI runtime finds an
# interface, and VISCA over IP's fixed UDP port clashes with no other run. Needs root.
#
#   scripts/netns.sh COMMAND [ARG...]
set -euo pipefail
exec unshare -n -- bash -c '
	set -e
	ip link set lo up
	ip link add eth0 type veth peer name eth0peer
	ip addr add 192.0.2.10/24 dev eth0
	ip link set eth0 up
	exec "$@"
' netns "$@"
