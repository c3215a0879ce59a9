#!/bin/sh
# bench/build_ndstool.sh SRC OUT: builds the peer packer ndstool 2.3.1 from its checkout SRC into
# the program OUT, in a temporary copy of its source (never into SRC, never into this tree).
# Used by bench/run.sh and the ndstool comparisons when they are given NDSTOOL_SRC.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 SRC OUT" >&2; exit 2; }
src=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-ndstool-src-XXXXXX")
trap 'rm -rf "$src"' EXIT
cp -r "$1/source/." "$src"
# Its generated C files declare nothing extern "C": build them as C++ after their headers.
printf '#include "loadme.h"\n#include "loadme.c"\n' >"$src/w_loadme.cpp"
printf 'extern const char CompileDate[];\n#include "compile_date.c"\n' >"$src/w_date.cpp"
printf '#include "default_icon.h"\n#include "default_icon.c"\n' >"$src/w_icon.cpp"
g++ -O2 -w -DPACKAGE_VERSION='"2.3.1"' -I"$src" -o "$2" "$src"/*.cpp
