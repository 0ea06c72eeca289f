#!/usr/bin/env bash
# GNU ld before 2.43 makes no load configuration directory of _load_config_used (SystemDlls.cpp):
# this points the image's directory entry at it, so that the loader reads the flags it carries.
# usage: load-config.sh NM IMAGE
set -euo pipefail
nm=$1 image=$2

# Little-endian unsigned integer of $2 bytes at offset $1.
at() { od -An -tu"$2" -j "$1" -N "$2" "$image" | tr -d ' '; }

address=$("$nm" --defined-only "$image" |
    awk '($3 == "_load_config_used" || $3 == "__load_config_used") && !found { print $1; found = 1 }')
[ -n "$address" ] || { echo "load-config: $image has no _load_config_used" >&2; exit 1; }

header=$(at 60 4) # e_lfanew
optional=$((header + 24))
case $(at "$optional" 2) in
267) base=$(at $((optional + 28)) 4) directories=$((optional + 96)) ;;  # PE32
523) base=$(at $((optional + 24)) 8) directories=$((optional + 112)) ;; # PE32+
*) echo "load-config: $image is no PE image" >&2; exit 1 ;;
esac
entry=$((directories + 10 * 8))
if [ "$(at "$entry" 4)" != 0 ]; then
    exit 0 # the linker made it
fi
rva=$((0x$address - base))

# The directory's size is the structure's own, its first field: read where the section holds it.
sections=$((optional + $(at $((header + 20)) 2)))
size=
for ((i = 0; i < $(at $((header + 6)) 2); i++)); do
    section=$((sections + 40 * i))
    start=$(at $((section + 12)) 4)
    if [ "$rva" -ge "$start" ] && [ "$rva" -lt $((start + $(at $((section + 16)) 4))) ]; then
        size=$(at $((rva - start + $(at $((section + 20)) 4))) 4)
    fi
done
[ -n "$size" ] || { echo "load-config: _load_config_used lies in no section of $image" >&2; exit 1; }

le32() { printf "\\x%02x\\x%02x\\x%02x\\x%02x" $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# shellcheck disable=SC2059 # the bytes are the format
printf "$(le32 "$rva")$(le32 "$size")" |
    dd of="$image" bs=1 seek="$entry" conv=notrunc status=none
