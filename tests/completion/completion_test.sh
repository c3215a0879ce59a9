#!/usr/bin/env bash
# The bash completions: commands and options as the installed program's --help names them,
# image names for IMAGE, folders for DIR.
#   completion_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
src=$1
bin=$2
if [[ ! -f /usr/share/bash-completion/bash_completion ]]; then
    echo "bash-completion is not installed"
    exit 77
fi
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
for f in cartscope-cli cartscope cartscope-thumbnailer; do
    # shellcheck disable=SC1090
    source "$src/data/completion/$f"
done
export PATH="$bin/cli:$bin/thumbnailer:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch a.nds B.NDS c.zip d.txt e.dsi f.srl g.ids
mkdir out

failures=0
# expect FUNCTION "EXPECTED (sorted, space-separated)" WORD...
expect() {
    local fn=$1 want=$2
    shift 2
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$fn"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [[ $got != "$want" ]]; then
        echo "FAIL: [$*] gave \"$got\", expected \"$want\""
        failures=$((failures + 1))
    fi
}

commands=$(cartscope-cli --help | awk '/^Commands:/ { on = 1; next } /^[^ ]/ || /^$/ { on = 0 }
                                       on && /^  [a-z]/ { print $1 }' | sort | xargs)
[[ $commands == *info* && $commands == *extract* ]] || { echo "FAIL: no commands in --help"; exit 1; }
expect _cartscope_cli "$commands" cartscope-cli ""
expect _cartscope_cli "--help --version" cartscope-cli --
# The options of one command: those named in its block of the usage text, and --help.
options_of() {
    printf '%s\n' --help $(cartscope-cli --help |
        awk -v c="$1" '/^  [a-z]/ { on = ($1 == c) } /^[^ ]/ || /^$/ { on = 0 } on' |
        grep -oE -- '--[a-z][a-z0-9-]*') | sort -u | xargs
}
[[ $(options_of info) == *--json* ]] || { echo "FAIL: info has no --json"; exit 1; }
expect _cartscope_cli "$(options_of info)" cartscope-cli info --
expect _cartscope_cli "$(options_of extract)" cartscope-cli extract --
expect _cartscope_cli "--csv --dat --help --jobs --json" cartscope-cli verify --
# Exactly the options each command accepts (the others are usage errors).
expect _cartscope_cli "--formats --help --json --narc --sdat --system --system-only" cartscope-cli list --
expect _cartscope_cli "--animated --help" cartscope-cli icon --
expect _cartscope_cli "B.NDS a.nds c.zip e.dsi f.srl g.ids out" cartscope-cli info ""
expect _cartscope_cli "B.NDS a.nds c.zip e.dsi f.srl g.ids out" cartscope-cli info --json ""
expect _cartscope_cli "out" cartscope-cli extract a.nds ""
expect _cartscope_cli "" cartscope-cli extract a.nds out ""
expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" cartscope-cli icon a.nds ""
expect _cartscope_cli "--compact --fill --force --help --keep-banner-crcs --no-vram-safe --rehash --renumber" cartscope-cli build --
expect _cartscope_cli "out" cartscope-cli build ""
expect _cartscope_cli "--force --help --in-place --keep-banner-crcs --no-vram-safe" cartscope-cli replace --
expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" cartscope-cli build out ""
if [[ $commands == *verify* ]]; then
    expect _cartscope_cli "B.NDS a.nds c.zip e.dsi f.srl g.ids out" cartscope-cli verify ""
    expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" \
        cartscope-cli verify --dat ""
    expect _cartscope_cli "" cartscope-cli verify --jobs ""
fi
if [[ $commands == *pad* ]]; then
    expect _cartscope_cli "--force --help --in-place" cartscope-cli trim --
    expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" cartscope-cli trim a.nds ""
    expect _cartscope_cli "00 ff" cartscope-cli pad --fill ""
    expect _cartscope_cli "chip pow2" cartscope-cli pad --size ""
    # An option's value is not an argument: the next word is still the image.
    expect _cartscope_cli "B.NDS a.nds c.zip e.dsi f.srl g.ids out" cartscope-cli pad --fill ff ""
    expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" \
        cartscope-cli pad --dat ""
    expect _cartscope_cli "B.NDS a.nds c.zip d.txt e.dsi f.srl g.ids out" \
        cartscope-cli patch a.nds ""
fi
expect _cartscope "B.NDS a.nds c.zip e.dsi f.srl g.ids out" cartscope ""
expect _cartscope_thumbnailer "128" cartscope-thumbnailer -s 12
expect _cartscope_thumbnailer "--help --size --version -s" cartscope-thumbnailer -
expect _cartscope_thumbnailer "B.NDS a.nds e.dsi f.srl g.ids out" cartscope-thumbnailer -s 64 ""

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "completion: all cases passed"
