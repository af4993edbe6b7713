#!/usr/bin/env bash
# Starts the program, or says in one line why it cannot.
bin=$1
if [ ! -x "$bin" ]; then echo "The program is not built yet ($bin)."; exit 1; fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: set DISPLAY (for example run under xvfb-run) to open the window."
  exit 1
fi
exec "$bin"
