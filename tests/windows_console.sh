#!/usr/bin/env bash
# On a console, each printf's output is delivered by the time the call returns. Standard output a pty
# (script(1) makes one), which Wine serves as the program's console:
# - the program calls WriteConsoleW once a copy, 80 calls of 42 characters (the sentence, CR LF, BEL),
#   as WINEDEBUG=+relay shows; a program that buffered its output would make a few long calls;
# - the terminal receives the 80 sentences;
# - the console receives the 80 BELs: Wine's console host does not pass a BEL on to the terminal, it
#   notes each as a "beep" it cannot sound.
# Usage: windows_console.sh PROGRAM WORK_DIR SCRIPT WINE_COMMAND...
set -euo pipefail
program=$1
work=$2
script=$3
shift 3
mkdir -p "$work"
sentence='Este sistema operativo si que es inutil'

# The Wine command sets WINEDEBUG itself: the trace's setting goes last, just before the loader.
loader=${*: -1}
in_terminal=$(printf '%q ' "${@:1:$#-1}" env WINEDEBUG=+relay "$loader" "$program")
failed=0
"$script" --quiet --return --command "$in_terminal 2> $(printf '%q' "$work/relay.txt")" /dev/null \
    < /dev/null > "$work/terminal.txt" || { echo "exit status $?"; failed=1; }
expect() {  # WHAT COUNT
    if [ "$2" -ne 80 ]; then
        echo "$1: $2, not 80"
        failed=1
    fi
}
expect "WriteConsoleW calls" "$(grep -c ':Call KERNEL32\.WriteConsoleW(' "$work/relay.txt" || true)"
expect "WriteConsoleW calls of 42 characters" \
    "$(grep -c ':Call KERNEL32\.WriteConsoleW([0-9a-f]*,[0-9a-f]*,0*2a,' "$work/relay.txt" || true)"
expect "sentences at the terminal" "$(grep -o "$sentence" "$work/terminal.txt" | wc -l)"
expect "BELs at the console (its beep notes)" "$(grep -c 'beep$' "$work/relay.txt" || true)"
exit "$failed"
