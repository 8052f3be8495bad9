// Every widget header starts here. The libraries below the windows see
// this file in its place, so a widget header included there stops the build.
#error "A widget header in a library below the windows: only app/, shell/ and the window files may use widgets."
