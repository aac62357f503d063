#!/usr/bin/env bash
# Checks the release artifacts as a user receives them: SHA256SUMS, then what each archive lists,
# then unpacks each into WORK_DIR/<archive name>/ for the tests that run its program.
#   check_dist.sh DIST_DIR VERSION WORK_DIR
set -uo pipefail
dist=$1
version=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() { echo "FAILED: $*"; failed=1; }

(cd "$dist" && sha256sum -c --strict SHA256SUMS) || fail "SHA256SUMS does not match the artifacts"
listed=$(cut -d' ' -f3 "$dist/SHA256SUMS" | sort)
present=$(find "$dist" -mindepth 1 -maxdepth 1 ! -name SHA256SUMS -printf '%f\n' | sort)
[[ $listed == "$present" ]] || fail "SHA256SUMS lists: ${listed//$'\n'/ }; build/dist holds: ${present//$'\n'/ }"

# Compares an archive's member list with the expected one, given one member a line.
same_members() {  # ARCHIVE EXPECTED ACTUAL
    if [[ $2 != "$3" ]]; then
        fail "$1 holds other members than expected:"
        diff <(echo "$2") <(echo "$3") | sed 's/^/    /'
    fi
}

# Every line of a text for Windows ends in CR LF, blank lines too.
crlf_only() {
    if grep -qv $'\r$' "$1" || [[ $(tail -c1 "$1" | od -An -tx1 | tr -d ' ') != 0a ]]; then
        fail "$1 has a line that does not end in CR LF"
    fi
}

linux=inutil-$version-x86_64-linux-musl
same_members "$linux.tar.gz" "$(printf '%s\n' "$linux/" "$linux/LICENSE" "$linux/README.md" "$linux/inutil" "$linux/inutil.1")" \
    "$(tar -tzf "$dist/$linux.tar.gz" | sort)"
owners=$(tar -tvzf "$dist/$linux.tar.gz" | awk '{print $2}' | sort -u)
[[ $owners == 0/0 ]] || fail "$linux.tar.gz members are owned by $owners, not 0/0"
mkdir -p "$work/$linux" && tar -xzf "$dist/$linux.tar.gz" -C "$work"
grep -q 'ELF 64-bit LSB executable, x86-64.*statically linked.*stripped' <<< "$(file "$work/$linux/inutil")" ||
    fail "$linux/inutil: $(file -b "$work/$linux/inutil")"

for arch in i686 x86_64; do
    windows=inutil-$version-$arch-windows
    same_members "$windows.zip" "$(printf '%s\n' "$windows/LICENSE.txt" "$windows/README.txt" "$windows/inutil.exe")" \
        "$(unzip -Z1 "$dist/$windows.zip" | sort)"
    unzip -q -o "$dist/$windows.zip" -d "$work"
    crlf_only "$work/$windows/LICENSE.txt"
    crlf_only "$work/$windows/README.txt"
    expected_format=$([[ $arch == i686 ]] && echo 'PE32 executable (console) Intel 80386' || echo 'PE32+ executable (console) x86-64')
    grep -qF "$expected_format" <<< "$(file -b "$work/$windows/inutil.exe")" ||
        fail "$windows/inutil.exe: $(file -b "$work/$windows/inutil.exe"), not $expected_format"
    size=$(stat -c %s "$work/$windows/inutil.exe")
    ((size <= 20 * 1024)) || fail "$windows/inutil.exe is $size bytes, more than 20 KB: not stripped, or MinGW's stdio?"
done

web=inutil-$version-web
members=$(unzip -Z1 "$dist/$web.zip" | sort)
[[ $(echo "$members" | cut -d/ -f1 | sort -u) == "$web" ]] || fail "$web.zip has more than the one top folder $web/"
for needed in "$web/index.html" "$web/inutil.wasm"; do
    grep -qx "$needed" <<< "$members" || fail "$web.zip lacks $needed"
done
unzip -q -o "$dist/$web.zip" -d "$work"

source=inutil-$version
members=$(tar -tzf "$dist/$source.tar.gz")
[[ $(echo "$members" | cut -d/ -f1 | sort -u) == "$source" ]] || fail "$source.tar.gz has more than the one top folder $source/"
for needed in CMakeLists.txt CMakePresets.json LICENSE README.md src/inutil.cpp debian/changelog scripts/dist; do
    grep -qx "$source/$needed" <<< "$members" || fail "$source.tar.gz lacks $needed"
done
if grep -qE "^$source/(build|\.git)/" <<< "$members"; then
    fail "$source.tar.gz holds a build or .git folder"
fi

((failed == 0)) && echo "every artifact lists what it should"
exit "$failed"
