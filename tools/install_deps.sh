#!/bin/sh
# Installs the Debian packages named on the command line that are not installed yet.
set -eu

missing=
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed' ||
        missing="$missing $package"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them as root:  apt-get update && apt-get install -y --no-install-recommends$missing" >&2
    exit 1
fi
echo "Installing:$missing"
apt-get update
# Without recommends: Wine's would add sound, video and GL libraries that nothing here uses.
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
