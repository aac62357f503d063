#!/usr/bin/env bash
# What a user does with the APT repository, in ROOT, a fresh Debian root that mmdebstrap has made and
# runs this in (as a --customize-hook): with /proc, /sys and /dev mounted, which mmdebstrap unmounts,
# and the root removed, once this ends, however it ends.
# The repository is served from SERVED/apt, which this points at each of make_signed_release.sh's
# repositories in SIGNED_DIR in turn: the release's, the newer version's signed by another key, the
# newer version's.
#   apt_in_root.sh ROOT ADD_REPOSITORY_SCRIPT SERVED SIGNED_DIR
set -euo pipefail
export LC_ALL=C
root=$1
add_repository=$2
served=$3
signed=$4
version=$(< "$signed/version")
newer_version=$(< "$signed/newer-version")
work=$(dirname "$add_repository")

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
step() { echo "--- $*"; }
fail() { echo "FAILED: $*"; exit 1; }
serve() {  # REPOSITORY
    ln -sfn "$signed/$1" "$served/apt"
}

# The program's whole output, as it must be.
expected_output=$(dirname "$0")/expected/lf
runs_as_it_should() {
    in_root inutil > "$work/output" < /dev/null || fail "inutil exited with status $?"
    cmp "$expected_output" "$work/output" ||
        fail "inutil wrote $(stat -c %s "$work/output") bytes, not the $(stat -c %s "$expected_output") it should"
}
has_version() {  # VERSION
    local installed
    installed=$(in_root dpkg -s inutil | sed -n 's/^Version: //p')
    [[ $installed == "$1" ]] || fail "dpkg -s shows version '$installed', not $1"
}

in_root find / -xdev -print | sort > "$work/files-before"

step "the lines of docs/RELEASES.md add the repository and install inutil $version"
serve repos/apt
in_root sh -exc "$(cat "$add_repository")" < /dev/null
has_version "$version"
# From here on, the repository under test alone: the root keeps what it has installed, and its apt-get
# reaches nothing but the loopback server.
rm -f "$root/etc/apt/sources.list"
find "$root/etc/apt/sources.list.d" -mindepth 1 ! -name inutil.list -delete
runs_as_it_should
in_root dpkg -L inutil > "$work/package-files"

step "man inutil finds the page"
[[ $(in_root man -w inutil) == /usr/share/man/man1/inutil.1.gz ]] || fail "man -w inutil: $(in_root man -w inutil)"
in_root man inutil > "$work/manual" || fail "man inutil failed"
grep -q 'complain, 80 times, that the operating system is useless' "$work/manual" ||
    fail "man inutil shows no NAME line of inutil's page: $(head -n 10 "$work/manual")"

step "the newer version signed by another key: apt-get update refuses it, inutil $version stays the candidate"
serve other-key/repos/apt
# apt warns, and keeps the index it had: the refusal is in what it says and in what it still offers.
in_root apt-get update > "$work/other-key.log" 2>&1 || true
cat "$work/other-key.log"
grep -q 'An error occurred during the signature verification. The repository is not updated' "$work/other-key.log" ||
    fail "apt-get update did not refuse the signature"
candidate=$(in_root apt-cache policy inutil | sed -n 's/^ *Candidate: //p')
[[ $candidate == "$version" ]] || fail "the candidate is '$candidate', not $version: apt took the other key's index"

step "a newer version in the repository: apt-get upgrade installs $newer_version"
serve newer/repos/apt
in_root apt-get update
in_root apt-get upgrade -y
# Kept back, apt says; why, its record of the package does.
in_root dpkg -s inutil | grep -qx "Version: $newer_version" ||
    fail "apt-get upgrade did not install $newer_version, which $(in_root apt-cache show "inutil=$newer_version" | grep '^Depends:')"
runs_as_it_should
in_root dpkg -L inutil >> "$work/package-files"

step "apt-get purge leaves no file of the package behind"
in_root apt-get purge -y inutil
in_root dpkg -s inutil > /dev/null 2>&1 && fail "dpkg -s still knows inutil after the purge"
left=$(comm -23 <(grep -vx /. "$work/package-files" | sort -u) "$work/files-before" | while read -r path; do
    [[ ! -e $root$path ]] || echo "$path"
done)
left+=$(find "$root/var/lib/dpkg/info" -name 'inutil.*' -printf '\n/var/lib/dpkg/info/%f')
[[ -z $left ]] || fail "files of the package left behind:$left"

step "all passed"
