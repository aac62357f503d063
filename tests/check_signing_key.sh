#!/usr/bin/env bash
# The keys scripts/sign-release refuses, each with its reason and before it writes anything: none, a
# name that is neither a key nor a file, a key file inside the source tree (where it could be
# committed), a key that is not the secret half of the public key users are given, and the right key
# with a wrong passphrase.
#   check_signing_key.sh SOURCE_DIR SIGNED_DIR WORK_DIR
# SIGNED_DIR is what make_signed_release.sh made; WORK_DIR must be inside SOURCE_DIR, as a preset's
# build folder is.
set -uo pipefail
source_dir=$(realpath -e "$1")
signed=$2
work=$3
rm -rf "$work"
mkdir -p "$work/dist"
work=$(realpath -e "$work")
[[ $work == "$source_dir"/* ]] || { echo "$work is not inside $source_dir"; exit 1; }

# sign-release's own keyring, too, in the work folder.
export TMPDIR=$work
GNUPGHOME=$work/gnupg
export GNUPGHOME
mkdir -m 700 "$GNUPGHOME"
# Each step on its own: a failing one must not keep the keyring from going.
trap 'gpgconf --kill all || true; gpgconf --remove-socketdir 2> /dev/null || true; rm -rf "$GNUPGHOME"' EXIT
trap 'exit 130' INT TERM
gpg --batch --quiet --passphrase '' --quick-gen-key 'inutil test key, refused <refused@inutil.invalid>' ed25519 sign never
gpg --batch --armor --export-secret-keys > "$work/secret-in-tree.asc"
echo "0000000000000000000000000000000000000000000000000000000000000000  inutil.tar.gz" > "$work/dist/SHA256SUMS"

failed=0
# case            INUTIL_SIGNING_KEY                       what sign-release says
cases="
none              -                                        no signing key
not-a-key         $work/no-such-key.asc                    neither an armored secret key nor a file
file-in-tree      $work/secret-in-tree.asc                 is inside the source tree
not-users-key     text:$work/secret-in-tree.asc            is not the one users are given
wrong-passphrase  text:$signed/keys/release-secret.asc     could not be unlocked"
while read -r name key says; do
    [[ -n $name ]] || continue
    case $key in
        -) key="" ;;
        text:*) key=$(< "${key#text:}") ;;
    esac
    output=$(INUTIL_SIGNING_KEY=$key bash "$source_dir/scripts/sign-release" "$work/dist" "$work/repos" \
        "$signed/keys/release.asc" 2>&1 <<< "wrong words")
    status=$?
    written=$(find "$work/dist" "$work/repos" ! -name SHA256SUMS ! -name dist 2>/dev/null)
    if ((status != 0)) && grep -qF -- "$says" <<< "$output" && [[ -z $written ]]; then
        echo "PASS $name"
    else
        echo "FAIL $name: exit status $status, '$says' expected, files written: ${written:-none}; it said:"
        printf '%s\n' "$output" | sed 's/^/    /'
        failed=1
    fi
done <<< "$cases"
# gpg removes the file of a signature it failed to make: a refusal must not cost the machine its
# /dev/null.
[[ -c /dev/null ]] || { echo "FAIL /dev/null is no longer the null device"; failed=1; }
exit "$failed"
