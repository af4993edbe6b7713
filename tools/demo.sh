#!/usr/bin/env bash
# Runs the real program against the stand-in services: inside a private network and mount
# namespace, the real service names resolve to 127.0.0.1 where the stand-ins listen on port 80.
# Presses Query with xdotool, waits for the answers, saves a screenshot to docs/demo.png and
# checks that the stand-ins received every request. Skips (exit 0) where namespaces are not
# allowed. Usage: demo.sh PROGRAM [SCREENSHOT]
set -euo pipefail
bin=$(realpath "$1")
shot=$(realpath -m "${2:-docs/demo.png}")
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
           www.chinarank.org.cn open.thumbshots.org; do
    echo "127.0.0.1 $h"
  done
} > "$hosts"
mount --bind "$hosts" /etc/hosts

"$standins" 127.0.0.1 80 > "$work/requests.txt" 2> "$work/standins.err" &
standins_pid=$!
Xvfb :77 -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
export DISPLAY=:77
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

"$bin" &
app_pid=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "demo: the window did not appear"; exit 1; }
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
sleep 0.5
xdotool key --window "$win" Return
sleep 4
mkdir -p "$(dirname "$shot")"
import -window "$win" "$shot"
kill "$app_pid" 2>/dev/null || true
kill -TERM "$standins_pid"; wait "$standins_pid" || true

count=$(wc -l < "$work/requests.txt")
echo "demo: the stand-ins received $count requests:"
sed 's/^/  /' "$work/requests.txt"
echo "demo: screenshot in $shot"
# 26 page requests, the thumbnail, and the first visit of each of the three Sogou requests,
# which is sent round a redirect that sets a cookie.
if [ "$count" -ne 30 ]; then
  echo "demo: FAILED: expected 30 requests"
  exit 1
fi
echo "demo: passed"
