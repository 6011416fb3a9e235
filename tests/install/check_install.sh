#!/usr/bin/env bash
# Installs a build into two empty roots: by default it must hold the service alone (the
# binary and its _to_screen link); with --component standins, the stand-ins alone.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

listing() { (cd "$1" && find . -mindepth 1 \( -type f -o -type l \) | sort | tr '\n' ' '); }

DESTDIR=$root/default cmake --install "$build" --prefix /usr >/dev/null
DESTDIR=$root/standins cmake --install "$build" --prefix /usr --component standins >/dev/null

status=0
expect() {
    local got
    got=$(listing "$root/$1")
    if [ "$got" != "$2" ]; then
        echo "install $1: got [$got], want [$2]" >&2
        status=1
    fi
}
expect default "./usr/bin/audio_rtsp ./usr/bin/audio_rtsp_to_screen "
expect standins "./usr/bin/appliance-sandbox ./usr/bin/rtspServer ./usr/bin/rtspServerM ./usr/bin/sim_capture ./usr/bin/sim_mgmt ./usr/bin/sim_supervise ./usr/bin/sim_ts_dump "
[ "$(readlink "$root/default/usr/bin/audio_rtsp_to_screen")" = audio_rtsp ] || {
    echo "install default: audio_rtsp_to_screen is not a link to audio_rtsp" >&2
    status=1
}
exit $status
