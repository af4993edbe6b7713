#!/usr/bin/env bash
# Runs the real program against the stand-in services: inside a private network and mount
# namespace, the real service names resolve to 127.0.0.1 where the stand-ins listen on port 80.
# Presses Query with xdotool, waits for the answers, saves a screenshot to docs/demo.png and
# checks that the stand-ins received every request. Skips (exit 0) where namespaces are not
# allowed. With WORLD=current the window uses the built-in set "current" against stand-ins of
# today's services over https (on port 443, trusted through SSL_CERT_FILE) and the screenshot
# goes to docs/current.png. Usage: [WORLD=current] demo.sh PROGRAM [SCREENSHOT]
set -euo pipefail
world=${WORLD:-classic}
bin=$(realpath "$1")
default_shot=docs/demo.png
[ "$world" = current ] && default_shot=docs/current.png
shot=$(realpath -m "${2:-$default_shot}")
standins=$(dirname "$bin")/velmora_standins
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${DEMO_INSIDE:-}" != 1 ]; then
  for tool in Xvfb xdotool import unshare; do
    command -v "$tool" >/dev/null || { echo "demo: skipped ($tool is not installed)"; exit 0; }
  done
  if ! unshare --net --mount true 2>/dev/null; then
    echo "demo: skipped (this machine does not allow network namespaces)"
    exit 0
  fi
  exec unshare --net --mount env DEMO_INSIDE=1 bash "$0" "$bin" "$shot"
fi

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
ip link set lo up

hosts="$work/hosts"
{
  echo "127.0.0.1 localhost"
  for h in www.velmora.com www.baidu.com www.google.com.hk pr.velmora.com sitemap.cn.yahoo.com \
           www.soso.com www.sogou.com www.youdao.com cn.bing.com www.alexa.com \
           www.chinarank.org.cn open.thumbshots.org www.so.com tranco-list.eu openpagerank.com \
           web.archive.org s0.wp.com; do
    echo "127.0.0.1 $h"
  done
} > "$hosts"
mount --bind "$hosts" /etc/hosts

args=()
if [ "$world" = current ]; then
  args=(current "$work/ca.pem")
  mkdir -p "$work/no-certs"
  export SSL_CERT_FILE="$work/ca.pem" SSL_CERT_DIR="$work/no-certs"
fi
"$standins" 127.0.0.1 80 "${args[@]}" > "$work/requests.txt" 2> "$work/standins.err" &
standins_pid=$!
for _ in $(seq 300); do grep -q listening "$work/standins.err" 2>/dev/null && break; sleep 0.1; done
Xvfb :77 -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
export DISPLAY=:77
# A busy machine (the test suite just ran) may take seconds to bring the display up: wait for
# it up to 30 s rather than start the window without one.
display=""
for _ in $(seq 300); do
  xdotool getdisplaygeometry >/dev/null 2>&1 && { display=up; break; }
  sleep 0.1
done
[ -n "$display" ] || { echo "demo: the virtual display did not come up"; exit 1; }

app_args=()
[ "$world" = current ] && app_args=(--services current)
"$bin" "${app_args[@]}" &
app_pid=$!
win=""
started=1
for _ in $(seq 300); do
  win=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  # A display just come up on a busy machine has refused the window's first connection: the
  # window says so and ends. Start it once more.
  if ! kill -0 "$app_pid" 2>/dev/null && [ "$started" -lt 2 ]; then
    sleep 1
    "$bin" "${app_args[@]}" &
    app_pid=$!
    started=2
  fi
  sleep 0.1
done
[ -n "$win" ] || { echo "demo: the window did not appear"; exit 1; }
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
sleep 0.5
xdotool key --window "$win" Return
# The current set's thumbnail is made on demand: it comes after two waits of 5 seconds.
if [ "$world" = current ]; then sleep 14; else sleep 4; fi
mkdir -p "$(dirname "$shot")"
import -window "$win" "$shot"
kill "$app_pid" 2>/dev/null || true
kill -TERM "$standins_pid"; wait "$standins_pid" || true

count=$(wc -l < "$work/requests.txt")
echo "demo: the stand-ins received $count requests:"
sed 's/^/  /' "$work/requests.txt"
echo "demo: screenshot in $shot"
# Classic: 26 page requests, the thumbnail, and the first visit of each of the three Sogou
# requests, which is sent round a redirect that sets a cookie. Current: the home page, Baidu's 5,
# Google's 4 with their redirects, 360, Sogou's first visit and search, Bing, Tranco, the
# archive and the thumbnail asked three times (nothing for the key-gated or retired fields).
expected=30
[ "$world" = current ] && expected=23
if [ "$count" -ne "$expected" ]; then
  echo "demo: FAILED: expected $expected requests"
  exit 1
fi
echo "demo: passed"
