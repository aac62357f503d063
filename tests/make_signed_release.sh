#!/usr/bin/env bash
# Signs a copy of the release with scripts/sign-release and a key made for this run, for the checks of
# the signed release, and makes what they need besides: the repositories of a newer version (the same
# source, its version raised, its Debian package for this machine built again), and those of the newer
# version signed by another key. Both keys are thrown away at the end, but their public halves and
# the release key's secret half, protected by its passphrase, which the signing-key check refuses.
#   make_signed_release.sh SOURCE_DIR DIST_DIR WORK_DIR
# In WORK_DIR: keys/release.asc, keys/release-secret.asc and keys/other.asc; version and
# newer-version; dist/ (the release with SHA256SUMS.asc) and repos/; newer/dist/ and newer/repos/;
# other-key/dist/ and other-key/repos/.
set -euo pipefail
source_dir=$(realpath -e "$1")
dist=$(realpath -e "$2")
work=$(realpath -m "$3")
rm -rf "$work"
mkdir -p "$work/keys"
export TMPDIR=$work LC_ALL=C.UTF-8 TZ=UTC
unset SOURCE_DATE_EPOCH

GNUPGHOME=$work/gnupg
export GNUPGHOME
mkdir -m 700 "$GNUPGHOME"
# Each step on its own: a failing one must not keep the keyring from going.
trap 'gpgconf --kill all || true; gpgconf --remove-socketdir 2> /dev/null || true; rm -rf "$GNUPGHOME"' EXIT
trap 'exit 130' INT TERM

# A key of the kind the project's is (RSA 4096, signing only), protected by PASSPHRASE: its public half
# in keys/NAME.asc, its secret half printed.
new_key() {  # NAME PASSPHRASE
    local uid="inutil test key $1 <$1@inutil.invalid>" fingerprint
    gpg --batch --quiet --pinentry-mode loopback --passphrase "$2" --quick-gen-key "$uid" rsa4096 sign never
    fingerprint=$(gpg --batch --quiet --with-colons --list-secret-keys "=$uid" | awk -F: '$1 == "fpr" { print $10; exit }')
    gpg --batch --quiet --armor --export "$fingerprint" > "$work/keys/$1.asc"
    gpg --batch --quiet --pinentry-mode loopback --passphrase "$2" --armor --export-secret-keys "$fingerprint"
}
# The release key has a passphrase, as the release manager's has, which sign-release reads from its
# standard input; the other key has none.
passphrase="the release manager's words"
release_key=$(new_key release "$passphrase")
other_key=$(new_key other "")
printf '%s\n' "$release_key" > "$work/keys/release-secret.asc"

sign_release() {  # KEY PUBLIC_KEY DIST_DIR REPOS_DIR
    INUTIL_SIGNING_KEY=$1 bash "$source_dir/scripts/sign-release" "$3" "$4" "$2" <<< "$passphrase"
}

source_tarball=$(find "$dist" -maxdepth 1 -name 'inutil-[0-9]*.tar.gz' ! -name '*-*-*')
version=$(basename "$source_tarball" .tar.gz)
version=${version#inutil-}
echo "$version" > "$work/version"
cp -a "$dist" "$work/dist"
sign_release "$release_key" "$work/keys/release.asc" "$work/dist" "$work/repos" 2>&1 | tee "$work/release-signing.log"
# The key must have asked for its passphrase, or the signing proved nothing about a protected key.
grep -q 'reading the passphrase' "$work/release-signing.log" ||
    { echo "sign-release read no passphrase: the release key was made without one"; exit 1; }

# The newer version: the source of the release with its last number raised, dated now (apt takes no
# Release file dated in the future).
newer_version=${version%.*}.$((${version##*.} + 1))
echo "$newer_version" > "$work/newer-version"
mkdir -p "$work/newer/source"
tar -xzf "$source_tarball" -C "$work/newer/source"
tree=$work/newer/source/inutil-$version
newer_date=$(date +%s)
sed -i "s/^\( *VERSION \)$version\$/\1$newer_version/" "$tree/CMakeLists.txt"
sed -i "s/^\(Version: *\)$version\$/\1$newer_version/" "$tree/rpm/inutil.spec"
{
    printf 'inutil (%s) unstable; urgency=medium\n\n  * A newer version, for the upgrade check.\n\n' "$newer_version"
    printf ' -- The inutil developers <inutil@inutil.invalid>  %s\n\n' "$(date -R -d "@$newer_date")"
    cat "$tree/debian/changelog"
} > "$work/newer/changelog"
mv "$work/newer/changelog" "$tree/debian/changelog"
grep -q "^ *VERSION $newer_version\$" "$tree/CMakeLists.txt" || { echo "no VERSION $version in CMakeLists.txt to raise"; exit 1; }
cp -a "$dist" "$work/newer/dist"
rm "$work/newer/dist/SHA256SUMS"
bash "$tree/scripts/build-deb" "$tree" "$work/newer/dist" "$(dpkg --print-architecture)" nocheck > "$work/newer/build.log" 2>&1 ||
    { tail -n 30 "$work/newer/build.log"; exit 1; }
(cd "$work/newer/dist" && sha256sum -- * > SHA256SUMS)
SOURCE_DATE_EPOCH=$newer_date sign_release "$release_key" "$work/keys/release.asc" "$work/newer/dist" "$work/newer/repos"

# The newer version as another key signs it, with that key's keyring: what a user of the project's
# keyring must refuse.
mkdir -p "$work/other-key"
cp -a "$work/newer/dist" "$work/other-key/dist"
sign_release "$other_key" "$work/keys/other.asc" "$work/other-key/dist" "$work/other-key/repos"
