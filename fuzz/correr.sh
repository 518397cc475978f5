#!/bin/sh
# correr.sh TARGET CORPUS ARTIFACTS [libFuzzer options...]
# Runs one fuzz target over a copy of its seed corpus (the tree is never
# written) with the given options. The target's scratch files go to a temp
# directory (in memory under /dev/shm when there is one) removed afterwards;
# an input that fails is kept in ARTIFACTS.
set -eu
objetivo=$1
corpus=$2
artefactos=$3
shift 3
trabajo=$(mktemp -d "${TMPDIR:-/tmp}/zeltafuzz-corrida.XXXXXX")
area=""
trap 'rm -rf "$trabajo" ${area:+"$area"}' EXIT
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  area=$(mktemp -d /dev/shm/zeltafuzz-area.XXXXXX)
else
  area="$trabajo/area"
  mkdir "$area"
fi
mkdir -p "$trabajo/corpus" "$artefactos"
cp "$corpus"/* "$trabajo/corpus/"
TMPDIR="$area" "$objetivo" -artifact_prefix="$artefactos/" -print_final_stats=1 \
  "$@" "$trabajo/corpus"
