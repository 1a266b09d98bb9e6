# Sourced by the Wine scripts: the test bed's own prefix, never ~/.wine.
# $1 is the prefix directory (under the build tree).
export WINEPREFIX="$1"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs, no desktop window.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
