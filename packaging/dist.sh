#!/bin/sh
# dist.sh GIT SOURCE NAME: makes NAME.tar.gz, the commit checked out in the
# git clone SOURCE under NAME/, and its NAME.tar.gz.sha256, here. It refuses,
# leaving no file, when it cannot tell what the tarball would hold: no git,
# no clone, or tracked files that differ from the commit.
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
# The same bytes for a commit whatever git is set to: members 0644 and 0755,
# gzip -n leaving out the time.
"$git" -C "$source" -c tar.umask=0022 -c tar.tar.gz.command='gzip -cn' archive --format=tar.gz --prefix="$name/" \
	-o "$PWD/$name.tar.gz.part" HEAD
mv "$name.tar.gz.part" "$name.tar.gz"
sha256sum "$name.tar.gz" >"$name.tar.gz.sha256"
