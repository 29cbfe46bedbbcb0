# Sourced by the test scripts: when no DISPLAY is given, starts a private
# Xvfb on the first free display number and stops it when the script exits.
# -noreset: a server that resets when its last client leaves refuses the
# next one for a moment, and a window test would skip instead of running.
XVFB_PID=""
stop_private_xvfb() { if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi; }
trap stop_private_xvfb EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      XVFB_PID=$!
      export DISPLAY=":$n"
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      break
    fi
  done
fi
