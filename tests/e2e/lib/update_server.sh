# Helpers for rigs that run the update server. Source after `set -euo pipefail`.
# Needs QX_BUILD_DIR. Everything stays on 127.0.0.1.

US_BIN="$QX_BUILD_DIR/tools/update-server/update-server"
US_MAKE_BIRD="$QX_BUILD_DIR/tools/update-server/update-server-test-bird"

# No proxy may carry a request away from this machine.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

US_TMP="$(mktemp -d "${TMPDIR:-/tmp}/update_server_rig.XXXXXX")"
US_PID=""
US_OUT_FD=""
_us_cleanup() {
  if [ -n "$US_PID" ]; then kill -KILL "$US_PID" 2>/dev/null || true; fi
  rm -rf "$US_TMP"
}
trap _us_cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -s "$US_TMP/stderr" ]; then
    echo "--- server stderr:" >&2
    cat "$US_TMP/stderr" >&2
  fi
  exit 1
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  [ "$2" == "$3" ] || fail "$1: expected [$2], got [$3]"
}

# us_catalogue DIR: a small catalogue. Modules:
#   40F5849A  ThermoLog6 (model 17), fp 1 2 3 4, features logging,alarms:
#             builds 4711 (2.10.3, the latest) and 4712 (2.9.0)
#   0000ABCD  HubPro8 (model 4), fp A B C D, no features: build 5000 (1.0.0)
# and builds/damaged.bird, which the server skips.
us_catalogue() {
  local dir="$1"
  mkdir -p "$dir/builds"
  "$US_MAKE_BIRD" "$dir/builds/4711.bird" 4711 2.10.3 - ThermoLog6 3000
  "$US_MAKE_BIRD" "$dir/builds/4712.bird" 4712 2.9.0 - ThermoLog6
  "$US_MAKE_BIRD" "$dir/builds/5000.bird" 5000 1.0.0 0000ABCD HubPro8
  printf 'bird\001\001not a zlib stream' >"$dir/builds/damaged.bird"
  cat >"$dir/modules.txt" <<'MODULES'
# serial  model  fingerprint   features
40F5849A model=17 fp=1,2,3,4 features=logging,alarms
0000ABCD model=4  fp=A,B,C,D
MODULES
}

# us_start ARGS...: starts the server with ARGS and waits for its listening
# lines. Sets US_PID, US_HTTP and US_HTTPS (base URLs, empty when not
# listening). Standard error goes to $US_TMP/stderr.
us_start() {
  local fifo="$US_TMP/stdout.fifo" expected=0 arg line
  for arg in "$@"; do
    case "$arg" in --http-port | --http-port=* | --https-port | --https-port=*) expected=$((expected + 1)) ;; esac
  done
  [ "$expected" -gt 0 ] || expected=1
  rm -f "$fifo"
  mkfifo "$fifo"
  "$US_BIN" "$@" >"$fifo" 2>"$US_TMP/stderr" &
  US_PID=$!
  exec {US_OUT_FD}<"$fifo"
  US_HTTP=""
  US_HTTPS=""
  while [ "$expected" -gt 0 ]; do
    read -r -t 10 -u "$US_OUT_FD" line || fail "server did not report its ports"
    case "$line" in
      "listening http "*) US_HTTP="http://${line#listening http }" ;;
      "listening https "*) US_HTTPS="https://${line#listening https }" ;;
      *) fail "unexpected line from the server: $line" ;;
    esac
    expected=$((expected - 1))
  done
}

# us_stop [SIGNAL]: stops the server (SIGTERM by default) and checks that it
# ends within 10 seconds with status 0. Its standard output closes when it
# ends, which is what the rig waits for.
us_stop() {
  local signal="${1:-TERM}" rc=0 line
  kill -s "$signal" "$US_PID"
  while read -r -t 10 -u "$US_OUT_FD" line; do :; done || rc=$?
  if [ "$rc" -gt 128 ]; then
    fail "server still running 10 s after SIG$signal"
  fi
  rc=0
  wait "$US_PID" || rc=$?
  US_PID=""
  exec {US_OUT_FD}<&-
  expect_eq "exit status after SIG$signal" 0 "$rc"
}

# us_get URL [CURL ARGS...]: GET with a time limit; the body lands in
# $US_TMP/body, the status in US_STATUS, curl's exit code in US_CURL.
us_get() {
  local url="$1"
  shift
  US_CURL=0
  US_STATUS="$(curl -sS --noproxy '*' --max-time 5 -o "$US_TMP/body" -w '%{http_code}' "$@" "$url" \
    2>"$US_TMP/curl.err")" || US_CURL=$?
}
