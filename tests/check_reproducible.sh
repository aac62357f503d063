#!/usr/bin/env bash
# Builds the release artifacts again from a clone of the same commit in another folder, later, started
# under another umask, time zone and locale, and checks that every one is byte-identical to the first
# build's.
#   check_reproducible.sh SOURCE_DIR DIST_DIR WORK_DIR
set -euo pipefail
source_dir=$1
dist=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
clone=$work/another/folder/inutil
commit=$(git -C "$source_dir" rev-parse HEAD)
# A time zone 14 hours east of UTC, as a POSIX rule so that it needs no tzdata.
umask 077
export TZ=XST-14 LC_ALL=POSIX LANG=POSIX
git clone --quiet --no-hardlinks "$source_dir" "$clone"
git -C "$clone" checkout --quiet "$commit"
bash "$clone/scripts/dist" > "$work/dist.log" 2>&1 || { cat "$work/dist.log"; exit 1; }
cd "$clone/build/dist"
sha256sum -c --strict "$dist/SHA256SUMS"
