#!/usr/bin/env bash
# Installs what the build and the tests need and is missing; quiet and quick when nothing is.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build make pkg-config ccache lld
  libgtest-dev libgmock-dev libbenchmark-dev
  libffi-dev libssl3
  libjavascriptcoregtk-4.1-dev libdeflate-dev python3-docx python3-openpyxl
  tzdata locales
  lua5.4 luajit
  clang libclang-rt-14-dev
  chromium fonts-noto-core fonts-noto-cjk
  curl apache2-utils
  libgtk-3-dev libwebkit2gtk-4.1-dev xvfb xauth libxtst6 xcompmgr
)

installed=" $(dpkg-query -W -f='${Package}:${db:Status-Status} ' "${packages[@]}" 2>/dev/null || true) "
missing=()
for p in "${packages[@]}"; do
  [[ "$installed" == *" $p:installed "* ]] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The page's packages, when the page exists: reinstall only when the lock file changed.
web=app/web
if [ -f "$web/package-lock.json" ]; then
  stamp="$web/node_modules/.deps-stamp"
  if [ ! -f "$stamp" ] || [ "$web/package-lock.json" -nt "$stamp" ]; then
    echo "deps: npm ci in $web"
    (cd "$web" && npm ci --no-audit --no-fund --loglevel=error) && touch "$stamp"
  fi
fi
