#!/usr/bin/env bash
# Shows the real window under Xvfb and saves screenshots into the folder given
# as the second argument (default: screenshots/ beside the program): the tour
# on a 1920×1080 screen, then a first start with fresh settings on 1366×768
# and 1920×1080 screens.
set -euo pipefail
program=${1:?usage: screenshots.sh PROGRAM [FOLDER]}
folder=${2:-$(dirname "$program")/screenshots}
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
xvfb-run -a -s "-screen 0 1920x1080x24" "$program" "$folder"
for screen in 1366x768 1920x1080; do
    fresh=$(mktemp -d)
    XDG_CONFIG_HOME=$fresh xvfb-run -a -s "-screen 0 ${screen}x24" "$program" "$folder" --first-start
    rm -rf "$fresh"
done
