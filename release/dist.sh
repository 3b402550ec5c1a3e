#!/bin/sh
# dist.sh GIT SOURCE NAME: makes NAME.tar.gz, the commit checked out in the
# git clone SOURCE with every file under NAME/, and NAME.tar.gz.sha256, in the
# current folder. It refuses, leaving no file behind, when it cannot tell
# what the tarball would hold: no git, no clone, or tracked files that differ
# from the commit, whose version the name would not tell.
set -eu
git=$1 source=$2 name=$3
refuse() {
	echo "dist: $*" >&2
	exit 1
}
"$git" --version >/dev/null 2>&1 || refuse "git is needed to make a release (Debian: git)"
top=$("$git" -C "$source" rev-parse --show-toplevel 2>/dev/null) || top=
[ "$top" = "$(cd "$source" && pwd -P)" ] || refuse "$source is not a git clone"
"$git" -C "$source" diff --quiet HEAD -- ||
	refuse "tracked files differ from commit $("$git" -C "$source" rev-parse --short HEAD); commit them first"
trap 'rm -f "$name.tar.gz.part"' EXIT
# Members 0644 and 0755 whatever the caller's tar.umask; git's gzip -n
# gives the same bytes for the same commit.
"$git" -C "$source" -c tar.umask=0022 archive --format=tar.gz --prefix="$name/" \
	-o "$PWD/$name.tar.gz.part" HEAD
mv "$name.tar.gz.part" "$name.tar.gz"
sha256sum "$name.tar.gz" >"$name.tar.gz.sha256"
