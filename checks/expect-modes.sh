#!/bin/sh
# expect-modes.sh ROOT FILE...: each FILE stands under ROOT (a prefix such as
# /usr), and everything there has Debian's modes: folders and the program
# 0755, other files 0644.
set -eu
root=$1
shift
for file; do
	[ -f "$root/$file" ] || { echo "missing: $root/$file"; exit 1; }
done
loose=$(find "$root" \( -type d ! -perm 755 \) -o \( -type f ! -name chunkcat ! -perm 644 \) \
	-o \( -name chunkcat ! -perm 755 \))
[ -z "$loose" ] || { ls -ld $loose; echo "modes other than 0755 and 0644"; exit 1; }
echo "$root: $*; folders and the program 0755, files 0644"
