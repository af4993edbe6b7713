#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there with the ecosystem's own
# validators; builds the Debian package, runs lintian on it (errors fail), unpacks it and runs the
# programs from the unpacked tree, away from the source and build trees.
#   tests/package/check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
step() { echo "== $*"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

step "install into $work/prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
share=$prefix/share
gui=0
[ -x "$prefix/bin/velmora" ] && gui=1
for f in bin/velmora-query share/man/man1/velmora-query.1.gz \
  share/bash-completion/completions/velmora-query share/doc/velmora/copyright \
  share/doc/velmora/changelog.Debian.gz; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
if [ $gui = 1 ]; then
  for f in share/applications/velmora.desktop share/metainfo/com.velmora.velmora.metainfo.xml \
    share/icons/hicolor/scalable/apps/velmora.svg share/icons/hicolor/128x128/apps/velmora.png \
    share/man/man1/velmora.1.gz; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
  done
  step "desktop entry and AppStream metadata"
  desktop-file-validate "$share/applications/velmora.desktop" || fail "desktop-file-validate"
  appstreamcli validate --no-net "$share/metainfo/com.velmora.velmora.metainfo.xml" ||
    fail "appstreamcli validate"
  grep -q "release version=\"$version\"" "$share/metainfo/com.velmora.velmora.metainfo.xml" ||
    fail "the metainfo's release is not $version"
  [ "$(identify -format %wx%h "$share/icons/hicolor/128x128/apps/velmora.png")" = 128x128 ] ||
    fail "the PNG icon is not 128x128"
fi

# The watch's systemd user units, once there are any.
units=$(find "$prefix/lib/systemd/user" -name 'velmora*' 2>/dev/null || true)
if [ -n "$units" ]; then
  step "systemd user units"
  # The user manager it stands up needs a runtime folder (none in a container or under sudo).
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
  fi
  # shellcheck disable=SC2086  # one unit a word
  systemd-analyze --user verify $units || fail "systemd-analyze verify"
fi

step "manual pages"
for page in "$share"/man/man1/*.1.gz; do
  program=$(basename "$page" .1.gz)
  text=$(MANPAGER=cat MANWIDTH=100 man --warnings -l "$page" 2>"$work/man.err") ||
    fail "man -l $page"
  if [ -s "$work/man.err" ]; then fail "man -l $page warns:"; cat "$work/man.err" >&2; fi
  # Made from the program's own help: its options and its version are in it.
  for word in NAME SYNOPSIS --help --version "$version"; do
    grep -q -- "$word" <<<"$text" || fail "$program.1 lacks \"$word\""
  done
done
text=$(env MANPAGER=cat man -l "$share/man/man1/velmora-query.1.gz")
for word in --try-rule --audit --history-db VELMORA_HISTORY_DB; do
  grep -q -- "$word" <<<"$text" || fail "velmora-query.1 lacks \"$word\""
done
# The help's Chinese words come through whole (not as "?").
text=$(LANG=C.UTF-8 MANPAGER=cat man -l "$share/man/man1/velmora-query.1.gz")
grep -q "未通过" <<<"$text" || fail "velmora-query.1 lost its Chinese words"

step "--version"
[ "$("$prefix/bin/velmora-query" --version)" = "velmora-query $version" ] ||
  fail "velmora-query --version"
if [ $gui = 1 ]; then
  [ "$(env -u DISPLAY "$prefix/bin/velmora" --version)" = "velmora $version" ] ||
    fail "velmora --version (without a display)"
fi

step "bash completion"
# Each row: the words typed (the last one under the cursor), then what must be offered.
completions=(
  "--services |classic current"
  "--services=cu|current"
  "--dump-services |classic current"
  "--try-r|--try-rule"
  "--try-rule Site|Site1 Site2"
  "--field Web|WebTitle"
  "--ver|--version"
  "--try-rule Site1 $share/doc/velmora/cop|$share/doc/velmora/copyright"
  "--check-services $share/doc/velmora/cop|$share/doc/velmora/copyright"
)
for row in "${completions[@]}"; do
  typed=${row%%|*} wanted=${row#*|}
  offered=$(PATH="$prefix/bin:$PATH" bash -c '
    source "$1"; shift
    COMP_WORDS=(velmora-query); COMP_LINE="velmora-query $1"
    read -r -a words <<<"$1"
    [[ $1 == *" " ]] && words+=("")
    for w in "${words[@]}"; do
      if [[ $w == --*=* ]]; then COMP_WORDS+=("${w%%=*}" "=" "${w#*=}"); else COMP_WORDS+=("$w"); fi
    done
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _velmora_query
    echo "${COMPREPLY[*]}"' _ "$share/bash-completion/completions/velmora-query" "$typed")
  for w in $wanted; do
    grep -qw -- "$w" <<<"$offered" || fail "completion of \"$typed\" offers \"$offered\", not $w"
  done
done

step "the Debian package"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log") ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q "libc6" <<<"$depends" || fail "Depends lacks the linked libraries (dpkg-shlibdeps)"
lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" || fail "lintian finds errors"

step "run from the unpacked package"
dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
mkdir -p "$work/home"
cat >"$work/page.html" <<'PAGE'
<html><head><title>velmora package check</title></head><body></body></html>
PAGE
run() { (cd "$work" && env -i HOME="$work/home" PATH=/usr/bin:/bin "$@"); }
run "$bin/velmora-query" --help >"$work/help.txt" || fail "velmora-query --help"
grep -q -- "--try-rule" "$work/help.txt" || fail "velmora-query --help lacks --try-rule"
out=$(run "$bin/velmora-query" --try-rule WebTitle "$work/page.html") ||
  fail "velmora-query --try-rule from the unpacked tree"
grep -q "value: 'velmora package check'" <<<"$out" || fail "--try-rule found no title: $out"
if ! run "$bin/velmora-query" --dump-services current >"$work/current.toml" ||
  ! grep -q '^\[\[field\]\]' "$work/current.toml"; then
  fail "--dump-services current from the unpacked tree"
fi
# Nothing is read from the source or build tree: every file the programs open is traced.
tracer=()
if strace -f -o /dev/null true 2>/dev/null; then
  tracer=(strace -f -e trace=%file -o)
else
  echo "(strace cannot trace here: the file traces are skipped)"
fi
opens_no_tree_file() {  # TRACE PROGRAM
  if [ ${#tracer[@]} -gt 0 ] && grep -F -e "$source_dir" -e "$build" "$1"; then
    fail "$2 opens files of the source or build tree"
  fi
}
if [ ${#tracer[@]} -gt 0 ]; then
  run "${tracer[@]}" "$work/trace" "$bin/velmora-query" --services current \
    --try-rule WebTitle "$work/page.html" >/dev/null || true
  opens_no_tree_file "$work/trace" velmora-query
fi

if [ $gui = 1 ] && command -v xvfb-run >/dev/null && command -v xprop >/dev/null; then
  step "the window from the unpacked tree shows its icon"
  # The theme search does not cover the unpacked tree: the icon comes from inside the program.
  icon=$(run xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$@" -platform xcb >/dev/null 2>&1 &
    window=$(timeout 20 xdotool search --sync --onlyvisible --name Velmora | head -n1)
    xprop -id "$window" _NET_WM_ICON | head -c 200
    kill $!' _ ${tracer[@]+"${tracer[@]}" "$work/trace-window"} "$bin/velmora") || true
  grep -q "Icon (128 x 128)" <<<"$icon" || fail "the window has no 128x128 icon: ${icon:0:120}"
  opens_no_tree_file "$work/trace-window" velmora
fi

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
