# Sourced, from the top of the tree, by the scripts of .ci/, release/ and bench/.

step() { printf '\n== %s\n' "$*"; }
# A line of README, exactly as a new user copies it.
readme_command() {
	grep -m1 -F -x -- "$1" README.md || { echo "README.md lacks: $1" >&2; exit 1; }
}
# A step names the tool it needs and lacks, rather than failing on it.
need() {
	local tool
	for tool; do
		command -v "$tool" >/dev/null ||
			{ echo "${0##*/}: $tool is missing: README (doc/releasing.md for release/) names its package" >&2; exit 1; }
	done
}
# The line of each test that the last ctest run in build folder $1 skipped,
# with how often it came.
skips() {
	grep -A1 ': Skipped$' "$1/Testing/Temporary/LastTest.log" | grep -v -e '^--$' -e ': Skipped$' |
		sort | uniq -c
}
