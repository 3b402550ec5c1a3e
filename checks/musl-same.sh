#!/usr/bin/env bash
# musl-same.sh SOURCE CHUNKCAT SCRATCH: builds chunkcat in SOURCE with
# README's musl command, warnings as errors, and checks that it prints what
# CHUNKCAT prints for five files and ends with its status on four failures.
# The error descriptions are each C library's own: statuses are compared,
# not messages.
set -euo pipefail
source=$1 glibc=$2 scratch=$3
. "$source/common/tools.sh"
rm -rf "$scratch" && mkdir -p "$scratch"
musl=$scratch/chunkcat-musl
(cd "$source" && $(readme '^musl-gcc ') -Wall -Wextra -Wpedantic -Werror -o "$musl")
: >"$scratch/empty"
head -c 128 /dev/urandom | tr '\0' x >"$scratch/128"
head -c 129 /dev/urandom >"$scratch/129"
head -c 100000 /dev/urandom >"$scratch/random"
for file in "$source/examples/sample.txt" "$scratch"/{empty,128,129,random}; do
	cmp <("$musl" "$file") <("$glibc" "$file") || fail "musl build prints $file differently"
done
ends() { local status=0; "$@" >/dev/null 2>&1 || status=$?; echo "$status"; }
for run in '"$0"' '"$0" /nonexistent' '"$0" "$1/examples"' '"$0" "$1/examples/sample.txt" >/dev/full'; do
	[[ $(ends sh -c "$run" "$musl" "$source") == $(ends sh -c "$run" "$glibc" "$source") ]] ||
		fail "musl build ends differently on: $run"
done
echo "musl build: 5 files printed, 4 failures ended as by glibc"
