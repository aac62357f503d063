#!/usr/bin/env bash
# Checks an RPM as a user and rpmlint see it: rpmlint with the project's settings and nothing
# reported, the files it holds (the program, its manual page, the licence), the program dynamic
# against the C library, position-independent and stripped.
# The unpacked package stays in WORK_DIR/root, for the behaviour suite and the size check to run on the
# packaged program.
#   check_rpm.sh RPM WORK_DIR RPMLINT_CONFIG
set -uo pipefail

if (($# != 3)); then
    echo "usage: $0 RPM WORK_DIR RPMLINT_CONFIG" >&2
    exit 2
fi
rpm_file=$(realpath -e "$1") || exit 2
mkdir -p "$2" && work=$(realpath -e "$2") || exit 2
config=$3
root=$work/root
PROGRAM=$root/usr/bin/inutil
# Debian's rpm keeps its database in ~/.rpmdb, which rpm and rpmlint open even to read a package file:
# a home of its own keeps the check from leaving anything in the user's.
export HOME=$work/home
mkdir -p "$HOME"
MANUAL=$root/usr/share/man/man1/inutil.1.gz
# shellcheck source=tests/package_checks.sh
. "$(dirname "$0")/package_checks.sh"

# rpmlint exits 0 on warnings: its summary must say that there were none. rpmlint 2.7 also counts
# what the configuration's filters took out.
rpmlint_says_nothing() {
    grep -qE ' 0 errors, 0 warnings, ([0-9]+ filtered, )?0 badness;' <<< "$rpmlint_report"
}

holds_program_page_and_licence() {
    local files
    files=$(rpm -qlp "$rpm_file") || return 1
    for needed in /usr/bin/inutil /usr/share/man/man1/inutil.1.gz '/usr/share/licenses/inutil[^/]*/LICENSE'; do
        grep -qx "$needed" <<< "$files" || { echo "no $needed in:"; printf '%s\n' "$files"; return 1; }
    done
}

is_pie() {
    local description
    description=$(file -b "$PROGRAM")
    [[ $description == *"pie executable"* ]] || { echo "$description"; return 1; }
}

requires_libc() {
    grep -q '^libc\.so\.6' <<< "$(rpm -qp --requires "$rpm_file")" || { rpm -qp --requires "$rpm_file"; return 1; }
}

echo "rpmlint:"
rpmlint_report=$(rpmlint -c "$config" "$rpm_file" 2>&1)
printf '%s\n' "$rpmlint_report" | sed 's/^/    /'
check rpmlint rpmlint_says_nothing
check "program, manual page and licence" holds_program_page_and_licence

rm -rf "$root"
mkdir -p "$root"
# Through a file, not a pipe: cpio stops at the archive's trailer, and rpm2cpio, still writing the
# padding after it, then died of SIGPIPE now and then, failing an unpacking that had worked.
if ! (cd "$root" && rpm2cpio "$rpm_file" > "$work/payload.cpio" && cpio -idm --quiet < "$work/payload.cpio"); then
    echo "FAIL unpack: rpm2cpio could not extract $rpm_file"
    failed=$((failed + 1))
    summary check_rpm
    exit
fi
check "manual page usr/share/man/man1/inutil.1.gz" manual_is_compressed_mdoc
check "dynamically linked against libc" is_dynamic_against_libc
check "position-independent" is_pie
check "stripped" is_stripped
check "Requires libc.so.6" requires_libc

summary check_rpm
