#!/usr/bin/env bash
# Takes a screenshot of the main window in a real X server (Xvfb).
# Usage: scripts/screenshot.sh PROGRAM OUTPUT.png
set -euo pipefail
program=${1:-build/dimenzo}
output=${2:-screenshot.png}
xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash -c "
  '$program' & pid=\$!
  sleep 2
  import -window root '$output'
  kill \$pid
"
