# shellcheck shell=bash
# What the checks of the signed release share, sourced by them: the lines of docs/RELEASES.md as a
# user copies them, a loopback HTTP server to fetch the repositories from, and the changed byte of a
# tampered file.

# The indented block after the heading HEADING of docs/RELEASES.md: what a user runs; with ADDRESS,
# after the line that sets INUTIL_REPOSITORY to it, as that page asks first.
release_block() {  # SOURCE_DIR HEADING [ADDRESS]
    local block
    block=$(awk -v heading="$2" '$0 == heading { found = 1; next }
        found && /^    / { sub(/^    /, ""); print; block = 1; next }
        found && (block || /^#/) { exit }' "$1/docs/RELEASES.md")
    [[ -n $block ]] || { echo "docs/RELEASES.md has no indented block after '$2'" >&2; return 1; }
    [[ -z ${3:-} ]] || printf 'export INUTIL_REPOSITORY=%s\n' "$3"
    printf '%s\n' "$block"
}

# Serves DIR on a free loopback port, in the background, until this shell ends (or is killed: the
# server is told by the kernel), its requests logged in LOG, and sets BASE_URL to its address.
serve_on_loopback() {  # PYTHON DIR LOG
    local port="" tries
    setpriv --pdeathsig TERM "$1" -u -m http.server --bind 127.0.0.1 --directory "$2" 0 > "$3" 2>&1 &
    server=$!
    trap 'kill "$server" 2>/dev/null || true' EXIT
    trap 'exit 130' INT TERM
    # The port the system chose, which the server prints once it listens.
    for ((tries = 0; tries < 300; tries++)); do
        port=$(sed -n 's/^Serving HTTP on 127\.0\.0\.1 port \([0-9]*\) .*/\1/p' "$3")
        if [[ -n $port ]] || ! kill -0 "$server" 2> /dev/null; then
            break
        fi
        sleep 0.1
    done
    [[ -n $port ]] || { echo "the HTTP server did not start:"; cat "$3"; return 1; }
    # shellcheck disable=SC2034 # for the sourcing script
    BASE_URL=http://127.0.0.1:$port
}

# Flips the lowest bit of the byte at OFFSET of FILE: a digit stays a digit.
flip_low_bit() {  # FILE OFFSET
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    # shellcheck disable=SC2059 # the format is the byte, as an octal escape
    printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# The offset of the first digit of FILE after the first match of TEXT (from the start with none).
first_digit_after() {  # FILE [TEXT]
    grep -abo -- "${2:-}[^0-9]*[0-9]" "$1" | head -n 1 | awk -F: '{ print $1 + length($0) - length($1) - 2 }'
}
