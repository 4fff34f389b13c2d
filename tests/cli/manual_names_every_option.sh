#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that the manual page source names every command that
# "vistrel-cli --help" lists and every option that it and each
# "vistrel-cli COMMAND --help" print.
# usage: manual_names_every_option.sh VISTREL_CLI MANUAL_SOURCE
set -u
cli=$1
manual=$2
missing=0

top=$("$cli" --help 2> /dev/null) || { echo "FAIL: $cli --help did not succeed"; exit 1; }
# Command lines of the top help: two spaces, a lower-case word, two spaces.
commands=$(printf '%s\n' "$top" | sed -n 's/^  \([a-z][a-z-]*\)  .*/\1/p')
[ -n "$commands" ] || { echo "FAIL: no command found in $cli --help"; exit 1; }

# Options: --long or a one-letter -x, after a blank, "[", "(", "," or "|".
options_in() {
    printf '%s\n' "$1" |
        grep -oE -- '(^|[][:space:]([,|])(--[a-z][a-z0-9-]*|-[a-zA-Z])([^a-zA-Z0-9-]|$)' |
        sed -E 's/^[][:space:]([,|]*//; s/[^a-zA-Z0-9-]$//'
}

check() {  # what help printed it, then its text
    for option in $(options_in "$2" | sort -u); do
        if ! grep -qF -- "*$option*" "$manual"; then
            echo "FAIL: $1 prints $option; the manual does not name it"
            missing=1
        fi
    done
}

check "vistrel-cli --help" "$top"
for command in $commands; do
    if ! grep -qx "## $command" "$manual"; then
        echo "FAIL: the manual has no section for the command $command"
        missing=1
    fi
    check "vistrel-cli $command --help" "$("$cli" "$command" --help 2> /dev/null)"
done
[ $missing -eq 0 ] && echo "the manual names every command and option of: $(echo $commands)"
exit $missing
