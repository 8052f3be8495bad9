#!/usr/bin/env bash
# Takes the README's pictures of the main window, the About window and the
# question asked before originals are replaced, in a real X server (Xvfb),
# from a build in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target shots >/dev/null
shoot() {
  xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash -c "
    build/bin/shots $1 > /tmp/dimenzo-geometry & pid=\$!
    sleep 2
    import -window root -crop \$(head -n1 /tmp/dimenzo-geometry) +repage '$2'
    kill \$pid
  "
}
shoot main docs/main-window.png
shoot about docs/about-window.png
shoot question docs/question.png
