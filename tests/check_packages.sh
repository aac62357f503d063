#!/bin/sh
# Builds the .deb and the .tar.gz, then checks their metadata and contents and runs the packaged program.
# Usage: check_packages.sh CPACK CPACK_CONFIG WORK_DIR
set -eu
cpack=$1
config=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() { echo "$*"; failed=1; }

"$cpack" --config "$config" -B "$work" > "$work/cpack.log" || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
tarball=$(ls "$work"/*.tar.gz)

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = inutil ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Description)" ] || fail "no Description"
# Linked statically, the program needs nothing installed beside it.
[ -z "$(field Depends)" ] || fail "Depends: $(field Depends)"

dpkg-deb -c "$deb" > "$work/deb-contents"
for path in ./usr/bin/inutil ./usr/share/man/man1/inutil.1; do
    grep -q " $path\$" "$work/deb-contents" || fail "$path is not in the .deb"
done
tar tzf "$tarball" > "$work/tar-contents"
for path in bin/inutil share/man/man1/inutil.1; do
    grep -q "/$path\$" "$work/tar-contents" || fail "$path is not in the .tar.gz"
done

# Unpacked into a scratch root, the packaged program writes the 3280 bytes.
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/inutil" > "$work/out"
bytes=$(wc -c < "$work/out")
[ "$bytes" = 3280 ] || fail "the packaged program wrote $bytes bytes"
exit "$failed"
