#!/bin/sh
# Stands in for the desktop opener in the help tests: records how it was called (the count and
# the file names of its arguments, and QUEVRO_HELP_NOTE from its environment) beside the file it
# was given, and fails for files named "refused*".
last=
for a in "$@"; do last=$a; done
{ printf '%s %s\n' "$#" "${QUEVRO_HELP_NOTE:-}"; for a in "$@"; do printf '[%s]\n' "$(basename -- "$a")"; done; } >> "$(dirname -- "$last")/opened.txt"
case "$(basename -- "$last")" in refused*) exit 4 ;; esac
exit 0
