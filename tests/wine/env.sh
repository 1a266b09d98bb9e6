# Sourced by the Wine scripts: the test bed's own prefix, never ~/.wine.
# $1 is the prefix directory (under the build tree), absolute or relative to
# the current directory; Wine itself wants it absolute.
case $1 in
  /*) WINEPREFIX=$1 ;;
  *) WINEPREFIX=$PWD/$1 ;;
esac
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs, no desktop window.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
