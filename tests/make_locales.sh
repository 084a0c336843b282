#!/usr/bin/env bash
# Compiles the C library locales that script tests name (in their NAME.locales files) into a
# folder of the build, which those tests get as LOCPATH; the system's own locales stay untouched.
#   tests/make_locales.sh OUTPUT_DIR LOCALE...   (e.g. de_DE; each is built as LOCALE.UTF-8)
set -u
out=$1
shift
mkdir -p "$out"
status=0
for name in "$@"; do
  target="$out/$name.UTF-8"
  [ -f "$target/LC_TIME" ] && continue
  # localedef reports warnings about the locale sources through its exit status even when it
  # wrote the locale; what counts is whether the locale is there.
  localedef -i "$name" -f UTF-8 "$target" >/dev/null 2>&1
  if [ ! -f "$target/LC_TIME" ]; then
    echo "could not build the locale $name (are the Debian packages locales and libc-bin installed?)" >&2
    status=1
  fi
done
exit $status
