#!/usr/bin/env bash
# Installs the build into a temporary prefix, starts the installed window under Xvfb with a small
# window manager (Debian icewm: title bar and task bar show the window's icon) and saves a
# screenshot: the icon comes from the installed icon theme.
#   tools/installed-screenshot.sh BUILD_DIR OUT.png
set -euo pipefail
build=$(cd "$1" && pwd)
out=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v icewm >/dev/null || { echo "icewm is missing (apt-get install icewm)" >&2; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir -p "$work/home/.icewm"
# A title bar font that has the title's Chinese characters.
cat >"$work/home/.icewm/preferences" <<'PREFS'
TitleFontNameXft="WenQuanYi Micro Hei:size=11"
TaskBarShowClock=0
PREFS
cd "$work"
env -i HOME="$work/home" PATH=/usr/bin:/bin XDG_DATA_DIRS="$work/prefix/share:/usr/share" \
  xvfb-run -a -s "-screen 0 900x680x24" sh -c '
    icewm >/dev/null 2>&1 &
    sleep 2
    "$1" -platform xcb >/dev/null 2>&1 &
    timeout 20 xdotool search --sync --onlyvisible --name Velmora >/dev/null
    sleep 2
    import -window root "$2"
    kill $!' _ "$work/prefix/bin/velmora" "$out"
echo "saved $out"
