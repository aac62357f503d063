#!/usr/bin/env bash
# Builds the release artifacts again from a clone of the same commit in another folder, later, and
# checks that every one is byte-identical to the first build's.
#   check_reproducible.sh SOURCE_DIR DIST_DIR WORK_DIR
set -euo pipefail
source_dir=$1
dist=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
clone=$work/another/folder/inutil
git clone --quiet --no-hardlinks "$source_dir" "$clone"
git -C "$clone" checkout --quiet "$(git -C "$source_dir" rev-parse HEAD)"
bash "$clone/scripts/dist" > "$work/dist.log" 2>&1 || { cat "$work/dist.log"; exit 1; }
cd "$clone/build/dist"
sha256sum -c --strict "$dist/SHA256SUMS"
