# shellcheck shell=bash
# What the package checks share, sourced by check_deb.sh and check_rpm.sh once they have set
# PROGRAM (the unpacked program) and MANUAL (its unpacked manual page).

passed=0
failed=0
# Runs one check; on failure, prints what the check printed.
check() {
    local name=$1 output
    shift
    if output=$("$@" 2>&1); then
        echo "PASS $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        [[ -n $output ]] && printf '%s\n' "$output" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

# The packaged program: dynamic against the C library, and stripped.
is_dynamic_against_libc() {
    local dynamic
    dynamic=$(readelf --dynamic "$PROGRAM") || return 1
    grep -q 'Shared library: \[libc\.so\.6\]' <<< "$dynamic" || {
        echo "no NEEDED libc.so.6 in the dynamic section:"
        printf '%s\n' "$dynamic"
        return 1
    }
    grep -q 'INTERP' <<< "$(readelf --program-headers "$PROGRAM")" || { echo "no program interpreter"; return 1; }
}

is_stripped() {
    local description
    description=$(file -b "$PROGRAM")
    [[ $description == *", stripped" ]] || { echo "$description"; return 1; }
}

manual_is_compressed_mdoc() {
    gzip --test "$MANUAL" || return 1
    grep -qx '\.Dt INUTIL 1' <<< "$(zcat "$MANUAL")" || { echo "$MANUAL is not the inutil(1) mdoc page"; return 1; }
}

# The summary line, and the exit status of the whole check.
summary() {  # NAME
    echo "$1: $passed passed, $failed failed"
    ((failed == 0))
}
