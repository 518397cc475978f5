#!/bin/sh
# correr.sh TARGET CORPUS ARTIFACTS [libFuzzer options...]
# Runs one fuzz target over a copy of its seed corpus (the tree is never
# written) with the given options. The target's scratch files go to a temp
# directory removed afterwards; an input that fails is kept in ARTIFACTS.
set -eu
objetivo=$1
corpus=$2
artefactos=$3
shift 3
trabajo=$(mktemp -d "${TMPDIR:-/tmp}/zeltafuzz-corrida.XXXXXX")
trap 'rm -rf "$trabajo"' EXIT
mkdir -p "$trabajo/corpus" "$trabajo/tmp" "$artefactos"
cp "$corpus"/* "$trabajo/corpus/"
TMPDIR="$trabajo/tmp" "$objetivo" -artifact_prefix="$artefactos/" -print_final_stats=1 \
  "$@" "$trabajo/corpus"
