#!/usr/bin/env bash
# musl-same.sh SOURCE CHUNKCAT SCRATCH: builds SOURCE/src/chunkcat.cpp
# statically with musl, warnings as errors, and checks that it prints what
# CHUNKCAT prints for five files and ends with its statuses on four
# failures. The error descriptions are each C library's own: statuses are
# compared, not messages.
set -euo pipefail
source=$1 glibc=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
musl=$scratch/chunkcat-musl
musl-gcc -x c++ -std=c++20 -O2 -static -Wall -Wextra -Wpedantic -Werror \
	"$source/src/chunkcat.cpp" -o "$musl"
: >"$scratch/empty"
head -c 128 /dev/urandom | tr '\0' x >"$scratch/128"
head -c 129 /dev/urandom >"$scratch/129"
head -c 100000 /dev/urandom >"$scratch/random"
for file in "$source/examples/sample.txt" "$scratch/empty" "$scratch/128" "$scratch/129" \
	"$scratch/random"; do
	cmp <("$musl" "$file") <("$glibc" "$file") || { echo "musl build prints $file differently"; exit 1; }
done
exit_status() { local status=0; "$@" >/dev/null 2>&1 || status=$?; echo "$status"; }
for args in "" /nonexistent "$source/examples"; do
	[[ $(exit_status "$musl" $args) == $(exit_status "$glibc" $args) ]] ||
		{ echo "musl build ends differently on: $args"; exit 1; }
done
[[ $(exit_status sh -c '"$0" "$1" >/dev/full' "$musl" "$source/examples/sample.txt") == 255 ]] ||
	{ echo "musl build does not report /dev/full"; exit 1; }
echo "musl build: same output on 5 files, same statuses on 4 failures"
