#!/usr/bin/env bash
# ciclos_test.sh - scripts/check-daemon-cycles finds a circle of includes
# among a daemon folder's modules, however long, and passes one-way
# includes. Each case builds a small folder of headers and sources.
#   ciclos_test.sh REPO
set -uo pipefail
repo=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fallos=0

# case NAME EXPECTED-STATUS EXPECTED-TEXT "file:included ..." ...
caso() {
  local nombre=$1 esperado=$2 texto=$3
  shift 3
  local d="$tmp/$nombre"
  mkdir -p "$d"
  for def in "$@"; do
    local f=${def%%:*} incl=${def#*:}
    : > "$d/$f"
    for h in $incl; do echo "#include \"$h\"" >> "$d/$f"; done
  done
  local salida r
  salida=$(RONDADOR_DIR="$d" "$repo/scripts/check-daemon-cycles" 2>&1)
  r=$?
  if [ "$r" -ne "$esperado" ] || [[ $salida != *"$texto"* ]]; then
    echo "FAIL $nombre: status $r (want $esperado), output: $salida"
    fallos=1
  else
    echo "ok   $nombre"
  fi
}

caso one-way 0 "" \
  "a.h:" "a.cpp:a.h" "b.h:a.h" "b.cpp:b.h a.h <cstdio>" "c.cpp:b.h a.h"
caso header-calls-back 1 "circle of includes" \
  "a.h:" "a.cpp:a.h b.h" "b.h:" "b.cpp:b.h a.h"
caso three-modules 1 "circle of includes" \
  "a.h:" "a.cpp:b.h" "b.h:" "b.cpp:c.h" "c.h:" "c.cpp:a.h"
caso system-and-missing-headers 0 "" \
  "a.h:" "a.cpp:a.h sys/x.h nohay.h"
exit $fallos
