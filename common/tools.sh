# Sourced, from the top of the tree, by the scripts of .ci/, release/, bench/
# and checks/: README's command lines, read here only, and a suite's tally.

step() { printf '\n== %s\n' "$*"; }
fail() { echo "${0##*/}: $*" >&2; exit 1; }
# A script names the tool it lacks, rather than failing on it.
need() {
	local tool
	for tool; do
		command -v "$tool" >/dev/null || fail "$tool is missing: README or doc/releasing.md names its package"
	done
}
# README's command lines (its sh blocks), in order, as a new user copies
# them; with PATTERN (grep -E), the first that matches.
readme() { # [PATTERN]
	local lines
	lines=$(sed -n '/^ *```sh$/,/^ *```$/{s/^ *//;/^```/!p}' README.md)
	(($#)) || { printf '%s\n' "$lines"; return; }
	grep -m1 -E -- "$1" <<<"$lines" || fail "README.md has no line like: $1"
}
# The packages of README's apt-get install lines: all, or those of the lines
# before the first that matches PATTERN (what that command needs).
packages() { # [PATTERN]
	readme | awk -v stop="${1-}" 'stop != "" && $0 ~ stop { exit } sub(/^apt-get install /, "")' | xargs
}
# A ctest run's count line, from its output in LOG, then from FOLDER/Testing
# (a build's, or a copy) the line of each test it skipped, and how often.
tally() { # FOLDER LOG
	grep -E '^[0-9]+% tests passed' "$2"
	grep -A1 ': Skipped$' "$1/Testing/Temporary/LastTest.log" | grep -v -e '^--$' -e ': Skipped$' |
		sort | uniq -c || true
}
