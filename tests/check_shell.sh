#!/usr/bin/env bash
# Lints every shell script of the source tree with shellcheck at its default severity, and fails on a
# file whose #! line is not matched by its run bit. The scripts are found when the check runs, by name
# (*.sh) or by their #! line, so that a new one is linted too.
#   check_shell.sh SOURCE_DIR SHELLCHECK
set -euo pipefail
cd "$1"

scripts=()
not_executable=()
while IFS= read -r -d '' file; do
    first_line=
    IFS= read -r first_line < "$file" || true
    if [[ $file == *.sh || $first_line =~ ^#!.*[/\ ](sh|bash|dash)([[:space:]]|$) ]]; then
        scripts+=("${file#./}")
    fi
    # A #! line says the file is run as it is.
    if [[ $first_line == '#!'* && ! -x $file ]]; then
        not_executable+=("${file#./}")
    fi
done < <(find . \( -name .git -o -name build -o -name node_modules \) -prune -o -type f -print0 | sort -z)

((${#scripts[@]})) || { echo "no shell script found in $1"; exit 1; }
((${#not_executable[@]} == 0)) || { echo "begin with #! but are not executable: ${not_executable[*]}"; exit 1; }
echo "shellcheck on ${#scripts[@]} scripts: ${scripts[*]}"
"$2" "${scripts[@]}"
