#!/usr/bin/env bash
# Checks a Debian package as a user and Debian's tools see it: lintian, the hardening of the
# binary, its dependency on the C library, its documentation and exactly the files it holds.
# The unpacked package stays in WORK_DIR/root, for the behaviour suite and the size check to run on the
# packaged program.
#   check_deb.sh DEB WORK_DIR
set -uo pipefail

if (($# != 2)); then
    echo "usage: $0 DEB WORK_DIR" >&2
    exit 2
fi
deb=$(realpath -e "$1") || exit 2
mkdir -p "$2" && work=$(realpath -e "$2") || exit 2
root=$work/root
PROGRAM=$root/usr/bin/inutil
MANUAL=$root/usr/share/man/man1/inutil.1.gz
doc=$root/usr/share/doc/inutil
# shellcheck source=tests/package_checks.sh
. "$(dirname "$0")/package_checks.sh"

# Runs one check and prints its whole output, also when it passes.
show() {
    local name=$1
    shift
    echo "$name:"
    "$@" 2>&1 | sed 's/^/    /'
    if ((PIPESTATUS[0] == 0)); then
        echo "PASS $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}

# Info and pedantic tags are shown, so that they get read, but only errors and warnings fail. lintian
# leaves its caches in TMPDIR: the work folder's, not the machine's /tmp.
lintian_package() {
    mkdir -p "$work/tmp"
    TMPDIR=$work/tmp lintian --fail-on error,warning --display-info --pedantic --show-overrides "$deb"
}

depends_on_libc() {
    local depends
    depends=$(dpkg-deb --field "$deb" Depends)
    grep -Eq '(^|, *)libc6( |,|$)' <<<"$depends" || {
        echo "Depends: $depends"
        return 1
    }
}

has_copyright() {
    [[ -f $doc/copyright ]] || { echo "no $doc/copyright"; return 1; }
    head -n 1 "$doc/copyright" |
        grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' || {
        echo "copyright is not in the machine-readable format"
        return 1
    }
    grep -qx 'License: ISC' "$doc/copyright" || { echo "copyright names no ISC licence"; return 1; }
}

# A native package's changelog is changelog.gz; its newest entry is the package's version.
has_changelog() {
    local version changelog_version
    [[ -f $doc/changelog.gz ]] || { echo "no $doc/changelog.gz"; return 1; }
    version=$(dpkg-deb --field "$deb" Version)
    changelog_version=$(zcat "$doc/changelog.gz" | dpkg-parsechangelog -l - -SVersion) || return 1
    [[ $changelog_version == "$version" ]] || {
        echo "changelog is at $changelog_version, the package at $version"
        return 1
    }
}

# Mode, owner and path of every member: nothing missing, nothing more, nothing owned by the builder.
holds_exactly_the_expected_files() {
    diff -u --label expected --label "$deb" - <(dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}') <<'LIST'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/inutil
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/inutil/
-rw-r--r-- root/root ./usr/share/doc/inutil/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/inutil/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/inutil.1.gz
LIST
}

show lintian lintian_package

rm -rf "$root"
if ! dpkg-deb --extract "$deb" "$root"; then
    echo "FAIL unpack: dpkg-deb could not extract $deb"
    failed=$((failed + 1))
    summary check_deb
    exit
fi

check "file list" holds_exactly_the_expected_files
# Branch protection is new in Debian 13's hardening-check, which finds it by disassembling the program;
# Debian 12's knows no such check, and both are held to the same ones.
hardening_options=(--nocfprotection)
if grep -q -- --nobranchprotection <<< "$(hardening-check --help 2>&1)"; then
    hardening_options+=(--nobranchprotection)
fi
show hardening hardening-check "${hardening_options[@]}" "$PROGRAM"
check "dynamically linked against libc" is_dynamic_against_libc
check "Depends on libc6" depends_on_libc
check "stripped" is_stripped
check "manual page usr/share/man/man1/inutil.1.gz" manual_is_compressed_mdoc
check "copyright" has_copyright
check "changelog" has_changelog

summary check_deb
