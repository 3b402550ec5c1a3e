# Sourced by release/fresh-root and release/cross, run as root with SUITE
# [MMDEBSTRAP-OPTION...] on a machine that reaches Debian's mirror: a new
# minbase root of Debian's release SUITE with a clone of HEAD in /src, and
# the ways to enter it and to run the suite there.
. common/tools.sh
need mmdebstrap bwrap git
((EUID == 0)) || fail "run as root"
(($#)) || fail "usage: $0 SUITE [MMDEBSTRAP-OPTION...]"
scratch=$(mktemp -d)
root=$scratch/root
# Mounts are made in namespaces of their own, gone before this removal.
trap 'rm -rf --one-file-system "$scratch"' EXIT

make_root() { # SUITE MMDEBSTRAP-OPTION...: mmdebstrap gives --aptopt to the root's apt
	step "a minbase Debian $1 root in $root"
	mmdebstrap --quiet --variant=minbase "${@:2}" "$1" "$root"
	git clone -q . "$root/src"
}
# The root as a container, as root with every capability; options before the
# command go to bwrap.
inside() {
	bwrap --bind "$root" / --dev /dev --proc /proc --ro-bind /etc/resolv.conf /etc/resolv.conf \
		--unshare-pid --cap-add ALL --die-with-parent --chdir /src \
		--setenv DEBIAN_FRONTEND noninteractive "$@"
}
# Runs COMMAND, which runs the suite of /src/build: it must pass; its tally
# is printed, and kept in $scratch/tallies.
suite() { # NAME COMMAND...
	step "the suite $1"
	"${@:2}" >"$scratch/suite.log" 2>&1 || { cat "$scratch/suite.log"; fail "the suite $1 failed"; }
	tally "$root/src/build" "$scratch/suite.log" | sed "s|^|$1: |" | tee -a "$scratch/tallies"
}
