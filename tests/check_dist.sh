#!/usr/bin/env bash
# Checks the release artifacts as a user receives them: SHA256SUMS, then what each archive lists and
# the program in it, then unpacks each into WORK_DIR/<archive name>/ for the tests that run its program.
# The packages have checks of their own (check_deb.sh, check_rpm.sh).
#   check_dist.sh DIST_DIR WORK_DIR ARTIFACTS
# ARTIFACTS lists the artifacts, one "file kind triple" a line: what cmake/targets.cmake's
# inutil_artifact_lines makes of them with that column. The programs' sizes are tests of their own.
set -uo pipefail
dist=$1
work=$2
artifacts=$3
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() { echo "FAILED: $*"; failed=1; }

(cd "$dist" && sha256sum -c --strict SHA256SUMS) || fail "SHA256SUMS does not match the artifacts"
expected=$(cut -d' ' -f1 "$artifacts" | sort)
listed=$(cut -d' ' -f3 "$dist/SHA256SUMS" | sort)
present=$(find "$dist" -mindepth 1 -maxdepth 1 ! -name SHA256SUMS ! -name SHA256SUMS.asc -printf '%f\n' | sort)
[[ $listed == "$expected" ]] || fail "SHA256SUMS lists other artifacts than the table of targets makes:
$(diff <(echo "$expected") <(echo "$listed"))"
[[ $present == "$expected" ]] || fail "$dist holds other files than the table of targets makes:
$(diff <(echo "$expected") <(echo "$present"))"

# Compares an archive's member list with the expected one, given one member a line.
same_members() {  # ARCHIVE EXPECTED ACTUAL
    if [[ $2 != "$3" ]]; then
        fail "$1 holds other members than expected:"
        diff <(echo "$2") <(echo "$3") | sed 's/^/    /'
    fi
}

# An archive of one top folder, NAME/, that holds at least the NEEDED paths, given inside it.
one_folder_holding() {  # FILE NAME MEMBERS NEEDED...
    local file=$1 name=$2 members=$3 needed
    shift 3
    [[ $(cut -d/ -f1 <<< "$members" | sort -u) == "$name" ]] || fail "$file has more than the one top folder $name/"
    for needed; do
        grep -qx "$name/$needed" <<< "$members" || fail "$file lacks $name/$needed"
    done
}

# Every line of a text for Windows ends in CR LF, blank lines too.
crlf_only() {
    if grep -qv $'\r$' "$1" || [[ $(tail -c1 "$1" | od -An -tx1 | tr -d ' ') != 0a ]]; then
        fail "$1 has a line that does not end in CR LF"
    fi
}

# A program for any Linux: static, stripped.
check_tarball() {  # FILE
    local name=${1%.tar.gz} owners description
    same_members "$1" "$(printf '%s\n' "$name/" "$name/LICENSE" "$name/README.md" "$name/inutil" "$name/inutil.1")" \
        "$(tar -tzf "$dist/$1" | sort)"
    owners=$(tar -tvzf "$dist/$1" | awk '{print $2}' | sort -u)
    [[ $owners == 0/0 ]] || fail "$1 members are owned by $owners, not 0/0"
    tar -xzf "$dist/$1" -C "$work"
    description=$(file -b "$work/$name/inutil")
    [[ $description == ELF*executable*", statically linked"*", stripped" ]] ||
        fail "$name/inutil is not a static, stripped program: $description"
}

check_zip() {  # FILE TRIPLE
    local name=${1%.zip} expected_format
    same_members "$1" "$(printf '%s\n' "$name/LICENSE.txt" "$name/README.txt" "$name/inutil.exe")" \
        "$(unzip -Z1 "$dist/$1" | sort)"
    unzip -q -o "$dist/$1" -d "$work"
    crlf_only "$work/$name/LICENSE.txt"
    crlf_only "$work/$name/README.txt"
    # file 5.44 says 'PE32 executable (console) Intel 80386', 5.46 'PE32 executable for MS Windows
    # 4.00 (console), Intel i386'.
    expected_format=$([[ $2 == i686-w64-mingw32 ]] && echo '^PE32 executable .*\(console\),? Intel (80386|i386)' ||
        echo '^PE32\+ executable .*\(console\),? x86-64')
    grep -qE "$expected_format" <<< "$(file -b "$work/$name/inutil.exe")" ||
        fail "$name/inutil.exe: $(file -b "$work/$name/inutil.exe"), not $expected_format"
}

check_web() {  # FILE
    local name=${1%.zip}
    one_folder_holding "$1" "$name" "$(unzip -Z1 "$dist/$1")" index.html inutil.wasm
    unzip -q -o "$dist/$1" -d "$work"
}

check_source() {  # FILE
    local name=${1%.tar.gz} members
    members=$(tar -tzf "$dist/$1")
    one_folder_holding "$1" "$name" "$members" CMakeLists.txt CMakePresets.json targets.txt LICENSE README.md \
        src/inutil.cpp debian/changelog rpm/inutil.spec scripts/dist
    if grep -qE "^$name/(build|\.git)/" <<< "$members"; then
        fail "$1 holds a build or .git folder"
    fi
}

while read -r file kind triple; do
    case $kind in
        source) check_source "$file" ;;
        tarball) check_tarball "$file" ;;
        zip) check_zip "$file" "$triple" ;;
        web) check_web "$file" ;;
    esac
done < "$artifacts"

((failed == 0)) && echo "every artifact lists what it should"
exit "$failed"
