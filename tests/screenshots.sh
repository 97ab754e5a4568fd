#!/usr/bin/env bash
# Shows the real window under Xvfb and saves screenshots into the folder given
# as the second argument (default: screenshots/ beside the program).
set -euo pipefail
program=${1:?usage: screenshots.sh PROGRAM [FOLDER]}
folder=${2:-$(dirname "$program")/screenshots}
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
exec xvfb-run -a -s "-screen 0 1920x1080x24" "$program" "$folder"
