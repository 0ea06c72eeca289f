#!/usr/bin/env bash
# GNU ld leaves the PE delay-import directory empty: Windows' tools, and our package check, then
# see no delay imports at all. This points the directory at the descriptors that dlltool's
# import libraries put side by side, ended by the program's own null descriptor
# (delayImportTableEnd, SystemDlls.cpp), and writes the image's checksum again.
# usage: delay-import-directory.sh NM IMAGE
set -euo pipefail
nm=$1 image=$2

# Little-endian unsigned integer of $2 bytes at offset $1.
at() { od -An -tu"$2" -j "$1" -N "$2" "$image" | tr -d ' '; }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
put32() { # shellcheck disable=SC2059 # the bytes are the format
    printf "$(le32 "$2")" | dd of="$image" bs=1 seek="$1" conv=notrunc status=none; }

descriptor=32
mapfile -t descriptors < <("$nm" --defined-only "$image" |
    awk '$3 ~ /^__DELAY_IMPORT_DESCRIPTOR_/ { print $1 }' | sort)
end=$("$nm" --defined-only "$image" |
    awk '$3 == "delayImportTableEnd" || $3 == "_delayImportTableEnd" { print $1 }')
[ ${#descriptors[@]} -gt 0 ] || { echo "delay-import-directory: $image has no delay imports" >&2; exit 1; }
[ -n "$end" ] || { echo "delay-import-directory: $image has no delayImportTableEnd" >&2; exit 1; }
start=$((16#${descriptors[0]}))
count=${#descriptors[@]}
if [ $((16#$end)) -ne $((start + count * descriptor)) ]; then
    echo "delay-import-directory: the $count descriptors of $image and their end are not one table" >&2
    exit 1
fi

header=$(at 60 4) # e_lfanew
optional=$((header + 24))
case $(at "$optional" 2) in
267) base=$(at $((optional + 28)) 4) directories=$((optional + 96)) ;;  # PE32
523) base=$(at $((optional + 24)) 8) directories=$((optional + 112)) ;; # PE32+
*) echo "delay-import-directory: $image is no PE image" >&2; exit 1 ;;
esac
entry=$((directories + 13 * 8))
put32 "$entry" $((start - base))
put32 $((entry + 4)) $((count * descriptor + descriptor))

# The checksum: the 16-bit words summed with their carries folded in, the field itself as 0,
# plus the file's length.
checksum=$((optional + 64))
put32 "$checksum" 0
size=$(stat -c %s "$image")
# (od pads an odd last byte with a zero, as the sum wants.)
sum=$(od -An -v -tu2 "$image" | awk '
    { for (i = 1; i <= NF; i++) s += $i }
    END { while (s > 65535) s = s % 65536 + int(s / 65536); printf "%d", s }')
put32 "$checksum" $((sum + size))
