#!/bin/sh
# expect-modes.sh ROOT: chunkcat's installed files stand under ROOT (a prefix
# such as /usr), with Debian's modes: folders and the program 0755, other
# files 0644.
set -eu
root=$1
for file in bin/chunkcat share/man/man1/chunkcat.1.gz share/doc/chunkcat/copyright \
	share/doc/chunkcat/changelog.gz; do
	[ -f "$root/$file" ] || { echo "missing: $root/$file"; exit 1; }
done
loose=$(find "$root" \( -type d ! -perm 755 \) -o \( -type f ! -name chunkcat ! -perm 644 \) \
	-o \( -name chunkcat ! -perm 755 \))
[ -z "$loose" ] || { ls -ld $loose; echo "modes other than 0755 and 0644"; exit 1; }
echo "$root: folders and the program 0755, files 0644"
