#!/usr/bin/env bash
# The RPM repository as users of rpm and dnf meet it, with Debian's rpm and dnf: installing would need
# a Fedora root, from Fedora's repositories, and this check reaches nothing beyond its loopback server.
# rpm -K, with the repository's key imported, finds each package's signature good; dnf, given the
# .repo file that the lines of docs/RELEASES.md write (gpgcheck and repo_gpgcheck on), fetches the key
# and each machine's signed metadata over loopback HTTP and finds the package, and refuses the
# metadata when a byte of repomd.xml has changed. rpm and dnf keep everything under WORK_DIR.
#   check_rpm_repository.sh SOURCE_DIR SIGNED_DIR WORK_DIR PYTHON
# SIGNED_DIR is what make_signed_release.sh made.
set -uo pipefail
source_dir=$1
signed=$2
work=$3
python=$4
rm -rf "$work"
mkdir -p "$work/served/tampered" "$work/home"
# shellcheck source=tests/signed_checks.sh
. "$source_dir/tests/signed_checks.sh"
version=$(< "$signed/version")
failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }

ln -s "$signed/repos/rpm" "$work/served/rpm"
cp -a "$signed/repos/rpm" "$work/served/tampered/rpm"
serve_on_loopback "$python" "$work/served" "$work/http.log" || exit 1

# Debian's rpm keeps its database below HOME unless told where.
rpm_here() {
    HOME=$work/home rpm --dbpath "$work/rpmdb" "$@"
}
rpm_here --import "$signed/repos/rpm/RPM-GPG-KEY-inutil" || fail "rpm --import RPM-GPG-KEY-inutil"
for package in "$signed"/repos/rpm/*/*.rpm; do
    output=$(rpm_here -K "$package" 2>&1)
    if [[ $output == "$package: digests signatures OK" ]]; then
        pass "rpm -K ${package##*/}"
    else
        fail "rpm -K ${package##*/}: $output"
    fi
done

# The lines of docs/RELEASES.md, the repository's address set to BASE and the .repo file written to
# FILE; all but their last, the install.
write_repo_file() {  # BASE FILE
    local lines
    lines=$(release_block "$source_dir" "### Fedora, RHEL: the RPM repository" "$1") || return 1
    [[ $(tail -n 1 <<< "$lines") == "dnf install inutil" ]] || { echo "the lines do not end with the install"; return 1; }
    lines=${lines//\/etc\/yum.repos.d\/inutil.repo/$2}
    sh -ec "$(sed '$d' <<< "$lines")"
}

# dnf with that .repo file for the repository at BASE_URL, and nothing of this machine's.
# Its key handling (gpgme) starts gpg-agents and puts their sockets below /run/user: it runs in
# namespaces of its own, where /run is an empty file system that ends with it, and so does every
# process it leaves. The home folder stays where it is, since the work may be below it (/root/inutil
# in a fresh root); that dnf leaves nothing there is checked below.
dnf_here() {  # NAME BASE_URL DNF_ARGUMENTS...
    local name=$1 base=$2
    shift 2
    mkdir -p "$work/$name/repos.d"
    write_repo_file "$base" "$work/$name/repos.d/inutil.repo"
    printf '[main]\n' > "$work/$name/dnf.conf"
    # shellcheck disable=SC2016 # expanded by the namespace's shell
    unshare --pid --fork --mount-proc sh -ec 'mount -t tmpfs tmpfs /run; mkdir -p -m 700 "/run/user/$(id -u)"
            exec "$@"' sh \
        dnf --config="$work/$name/dnf.conf" --installroot="$work/$name/root" --setopt=reposdir="$work/$name/repos.d" \
        --releasever=40 --assumeyes "$@" 2>&1
}

home=$(getent passwd "$(id -u)" | cut -d: -f6)
[[ -n $home && -d $home ]] || fail "no home folder to watch for what dnf leaves (getent passwd $(id -u): '$home')"
home_before=$(ls -A "$home")
for arch in "$signed"/repos/rpm/*/; do
    arch=$(basename "$arch")
    output=$(dnf_here "dnf-$arch" "$BASE_URL" --forcearch="$arch" repoquery inutil)
    if grep -qx "inutil-0:$version-1.$arch" <<< "$output" && grep -q '^Importing GPG key' <<< "$output"; then
        pass "dnf repoquery, $arch"
    else
        fail "dnf repoquery, $arch: no inutil-0:$version-1.$arch, or no key imported, in:"
        printf '%s\n' "$output" | sed 's/^/    /'
    fi
done

repomd=$work/served/tampered/rpm/x86_64/repodata/repomd.xml
flip_low_bit "$repomd" "$(first_digit_after "$repomd" '<revision>')"
output=$(dnf_here dnf-tampered "$BASE_URL/tampered" --forcearch=x86_64 repoquery inutil)
status=$?
if ((status != 0)) && grep -q 'repomd.xml GPG signature verification error' <<< "$output"; then
    pass "dnf refuses a changed repomd.xml"
else
    fail "dnf took a changed repomd.xml, or refused it for another reason:"
    printf '%s\n' "$output" | sed 's/^/    /'
fi
if [[ -d $home && $(ls -A "$home") == "$home_before" ]]; then
    pass "dnf left nothing in $home"
else
    fail "dnf left in $home: $(comm -13 <(echo "$home_before") <(ls -A "$home") | tr '\n' ' ')"
fi
exit "$failed"
