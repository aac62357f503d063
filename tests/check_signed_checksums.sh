#!/usr/bin/env bash
# The command of docs/RELEASES.md that verifies a download, run as a user runs it, in a folder of the
# signed release's files and the project's keyring (the APT repository's): it must pass on the
# release as signed, and fail when a byte of SHA256SUMS or of an artifact has changed, or when another key signed.
#   check_signed_checksums.sh SOURCE_DIR SIGNED_DIR WORK_DIR
# SIGNED_DIR is what make_signed_release.sh made.
set -uo pipefail
source_dir=$1
signed=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
# shellcheck source=tests/signed_checks.sh
. "$source_dir/tests/signed_checks.sh"
verify=$(release_block "$source_dir" "## Verify a download") || exit 1
echo "the command of docs/RELEASES.md: $verify"
version=$(< "$signed/version")

failed=0
# case            release          the byte changed in    status  what the command says
cases="
as-signed         dist             -                      0       Good signature from
sums-changed      dist             SHA256SUMS             1       BAD signature from
artifact-changed  dist             inutil-$version.tar.gz 1       inutil-$version.tar.gz: FAILED
other-key         other-key/dist   -                      1       public key"
while read -r name release changed status says; do
    [[ -n $name ]] || continue
    download=$work/$name
    cp -a "$signed/$release" "$download"
    cp "$signed/repos/apt/inutil-archive-keyring.gpg" "$download/"
    [[ $changed == - ]] || flip_low_bit "$download/$changed" "$(first_digit_after "$download/$changed")"
    output=$(cd "$download" && sh -c "$verify" 2>&1)
    actual=$?
    if ((actual != 0)); then actual=1; fi
    if [[ $actual == "$status" ]] && grep -qF -- "$says" <<< "$output"; then
        echo "PASS $name"
    else
        echo "FAIL $name: exit status $actual, not $status, or no '$says' in:"
        printf '%s\n' "$output" | sed 's/^/    /'
        failed=1
    fi
done <<< "$cases"
exit "$failed"
