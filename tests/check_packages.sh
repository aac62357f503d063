#!/bin/sh
# Builds the .deb and the .tar.gz, checks their metadata and contents, and unpacks the .deb into
# WORK_DIR/root, where the test that follows checks the packaged program's output.
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

dpkg-deb -x "$deb" "$work/root"
exit "$failed"
