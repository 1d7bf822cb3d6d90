# Helpers for rigs that run the Updater's build catalogue commands (-B, -L,
# -G, -J) against the reference update server. Source after
# `set -euo pipefail`. Needs QX_BUILD_DIR. Everything stays on 127.0.0.1.
source "$(dirname "${BASH_SOURCE[0]}")/update_server.sh"

UPDATER="$QX_BUILD_DIR/app/Updater"
BIRDTOOL="$QX_BUILD_DIR/tools/birdtool/birdtool"
[ -x "$UPDATER" ] || fail "missing $UPDATER"
[ -x "$BIRDTOOL" ] || fail "missing $BIRDTOOL"

# The store root given with -i; the store itself is $STORE_ROOT/updater.
STORE_ROOT="$US_TMP/home"
STORE="$STORE_ROOT/updater"
OUT="$US_TMP/out"
ERR="$US_TMP/err"
RC=0

# cat_make DIR: a catalogue of BIRD files made with birdtool. Modules:
#   40F5849A  ThermoLog6 (model 17), features logging,alarms: builds
#             4711 (2.10.3), 4712 (2.9.0) and 4800 (2.10.12, the latest)
#   0000ABCD  HubPro8 (model 4): build 5000 (1.0.0)
cat_make() {
  local dir="$1" spec build version model
  mkdir -p "$dir/builds"
  for spec in 4711:2.10.3:ThermoLog6 4712:2.9.0:ThermoLog6 4800:2.10.12:ThermoLog6 \
    5000:1.0.0:HubPro8; do
    IFS=: read -r build version model <<<"$spec"
    "$BIRDTOOL" create -o "$dir/builds/$build.bird" \
      --info "build=$build,version=$version,model=$model" \
      --loader addr=0x0,size=2K \
      --firmware "addr=0x8000,size=24K,fill=random,seed=$build" \
      --serial-offsets serial=0x8200,usb=0x8220 \
      --image-header "version=$version,build=$build" >/dev/null ||
      fail "birdtool could not make build $build"
  done
  cat >"$dir/modules.txt" <<'MODULES'
40F5849A model=17 fp=1,2,3,4 features=logging,alarms
0000ABCD model=4  fp=A,B,C,D
MODULES
}

# upd ARGS...: runs the Updater with the store under $STORE_ROOT; standard
# output, standard error and the exit status land in $OUT, $ERR and RC. At
# most 60 seconds: a hang is a failure, not a stuck rig.
upd() {
  CASE="Updater $*"
  RC=0
  timeout 60 "$UPDATER" "$@" -i "$STORE_ROOT" >"$OUT" 2>"$ERR" || RC=$?
  [ "$RC" -ne 124 ] || fail "$CASE: still running after 60 s"
}

expect_rc() {
  [ "$RC" -eq "$1" ] || fail "$CASE: exit status $RC, expected $1 (stderr: $(cat "$ERR"))"
}

# expect_out TEXT / expect_err TEXT: the whole stream (printf %b escapes),
# standard output without its version line.
expect_out() {
  local actual wanted
  actual="$(tail -n +2 "$OUT")"
  wanted="$(printf '%b' "$1")"
  [ "$actual" == "$wanted" ] || fail "$CASE: stdout
--- expected:
$wanted
--- got:
$actual"
  sed -n 1p "$OUT" | grep -q '^Updater (Version: ' || fail "$CASE: no version line first"
}
expect_err() {
  local actual wanted
  actual="$(cat "$ERR")"
  wanted="$(printf '%b' "$1")"
  [ "$actual" == "$wanted" ] || fail "$CASE: stderr
--- expected:
$wanted
--- got:
$actual"
}
expect_out_line() {
  grep -qxF -- "$1" "$OUT" || fail "$CASE: no stdout line [$1] in: $(cat "$OUT")"
}

# store_state: every file of the store with its checksum, records included.
store_state() {
  if [ -d "$STORE" ]; then
    (cd "$STORE" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
  fi
}

# log_mark / log_since: the requests logged after the mark.
log_mark() { LOG_MARK="$(wc -l <"$REQUEST_LOG" 2>/dev/null || echo 0)"; }
log_since() { tail -n +"$((LOG_MARK + 1))" "$REQUEST_LOG" 2>/dev/null || true; }
expect_requests() {
  local wanted actual
  wanted="$(printf '%b' "$1")"
  actual="$(log_since)"
  [ "$actual" == "$wanted" ] || fail "$CASE: requests
--- expected:
$wanted
--- got:
$actual"
}

# record_value KEY: the value of KEY in module 40F5849A's record.
record_value() {
  sed -n "s/^$1=//p" "$STORE/40F5849A/.settings" 2>/dev/null
}
