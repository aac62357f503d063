#!/usr/bin/env bash
# The APT repository as a user of Debian SUITE meets it: in a fresh minimal root that mmdebstrap makes
# from Debian's archive (with man-db, to read the page), the lines of docs/RELEASES.md add the
# repository, served over loopback HTTP, and install inutil; then apt_in_root.sh takes it through a
# repository signed by another key, an upgrade and a purge. mmdebstrap unmounts and removes the root
# when the steps end, also when they fail or are interrupted; the server ends with this script,
# however it ends.
#   check_apt_repository.sh SUITE SOURCE_DIR SIGNED_DIR WORK_DIR PYTHON
# SIGNED_DIR is what make_signed_release.sh made.
set -euo pipefail
suite=$1
source_dir=$2
signed=$3
work=$4
python=$5
rm -rf "$work"
mkdir -p "$work/served"
# shellcheck source=tests/signed_checks.sh
. "$source_dir/tests/signed_checks.sh"

serve_on_loopback "$python" "$work/served" "$work/http.log"
release_block "$source_dir" "### Debian, Ubuntu: the APT repository" "$BASE_URL" > "$work/add-repository.sh"
echo "the lines of docs/RELEASES.md, with the repository's address set first:"
cat "$work/add-repository.sh"

# shellcheck disable=SC2016 # "$1" is the root, which mmdebstrap gives its hook
hook=$(printf 'bash %q "$1" %q %q %q' "$source_dir/tests/apt_in_root.sh" "$work/add-repository.sh" "$work/served" "$signed")
started=$SECONDS
# In the background, so that a signal reaches this script at once: on its way out, it ends the server
# and tells mmdebstrap, which cleans up once its steps have failed, and waits for it. Were this script
# killed outright, the kernel would do the telling.
TMPDIR=$work setpriv --pdeathsig TERM mmdebstrap --variant=minbase --include=man-db \
    --customize-hook="$hook" "$suite" /dev/null &
bootstrap=$!
trap 'kill "$server" "$bootstrap" 2> /dev/null; wait "$bootstrap"' EXIT
wait "$bootstrap"
echo "the root of Debian $suite, made, used and removed in $((SECONDS - started)) s"
