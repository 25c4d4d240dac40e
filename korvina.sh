#!/usr/bin/env bash
# Korvina's one entry point for developers and CI.
#   ./korvina.sh demo    build, make a demo workspace and start the robot on it
#                        (in its window when a display is there, else headless)
#   ./korvina.sh test    build and run every test
#   ./korvina.sh build   install what is missing and build
#   ./korvina.sh bench   build and run the benchmarks
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${KORVINA_BUILD_DIR:-$ROOT/build}"
DEMO="${KORVINA_DEMO_DIR:-$ROOT/demo}"

# Debian packages the build, the tests and the demo need.
PACKAGES=(
  cmake g++ ninja-build pkg-config
  qt6-base-dev libqt6sql6-sqlite libqt6sql6-odbc libqt6sql6-psql postgresql
  qt6-svg-dev libqt6svg6 qt6-translations-l10n
  qt6-charts-dev libqt6charts6
  libsqlite3-dev sqlite3 libpq-dev
  libcurl4-openssl-dev ca-certificates
  libsimpleini-dev
  libbenchmark-dev
  python3 python3-aiosmtpd openssl
)

need_sudo() {
  if [ "$(id -u)" -ne 0 ]; then echo sudo; fi
}

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "korvina.sh: installing ${missing[*]}"
    local s; s=$(need_sudo)
    $s apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $s apt-get install -y -qq "${missing[@]}"
  fi
}

build() {
  install_missing
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
  fi
  cmake --build "$BUILD" -j "$(nproc)"
}

cmd="${1:-}"
shift || true
case "$cmd" in
  build)
    build
    ;;
  test)
    build
    ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" "$@"
    ;;
  demo)
    build
    # KORVINA_DEMO_PG_QUIKDATA and KORVINA_DEMO_PG_ALERTS (postgresql:// URIs of
    # two empty databases) put the demo's databases on a PostgreSQL server.
    QUIKDATA="$DEMO/Data/dbQuikData.sqlite"
    ALERTS="$DEMO/Omega/Alerts11.sqlite"
    sample_args=()
    if [ -n "${KORVINA_DEMO_PG_QUIKDATA:-}" ]; then
      QUIKDATA="$KORVINA_DEMO_PG_QUIKDATA"; sample_args+=(--quikdata "$QUIKDATA")
    fi
    if [ -n "${KORVINA_DEMO_PG_ALERTS:-}" ]; then
      ALERTS="$KORVINA_DEMO_PG_ALERTS"; sample_args+=(--alerts "$ALERTS")
    fi
    if [ ! -f "$DEMO/Korvina.ini" ]; then
      "$BUILD/bin/korvina-db" sample "$DEMO" "${sample_args[@]}"
    fi
    cd "$DEMO"
    # The two outside programs as stand-ins: a QUIK terminal answering the
    # transaction file and a strategy filling an order every few seconds.
    pids=()
    stop_all() { [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; }
    trap stop_all EXIT
    trap 'exit 0' INT TERM
    "$BUILD/bin/korvina-terminal-sim" --dir "$DEMO/Trans" --db "$QUIKDATA" \
      --info-log "$DEMO/QUIK/info.log" --quiet &
    pids+=($!)
    ( sleep 3; exec "$BUILD/bin/korvina-strategy-sim" --alerts "$ALERTS" \
        --quikdata "$QUIKDATA" --random 1000 --every 4000 >/dev/null ) &
    pids+=($!)
    # The operator's window when there is a display to show it on.
    mode=(--headless)
    if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then mode=(); fi
    "$BUILD/bin/korvina" "${mode[@]}" --ini "$DEMO/Korvina.ini" --watch "$@" &
    pids+=($!)
    wait "${pids[2]}"
    ;;
  bench)
    build
    for b in "$BUILD"/bin/bench_*; do
      [ -x "$b" ] && "$b" "$@"
    done
    ;;
  *)
    echo "usage: $0 demo|test|build|bench" >&2
    exit 2
    ;;
esac
