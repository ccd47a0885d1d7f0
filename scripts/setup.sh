#!/usr/bin/env bash
# Installs everything the project needs from Debian's packages. Idempotent: when every package is
# already installed it changes nothing and asks no server.
set -euo pipefail

packages=(
  cmake ninja-build g++ git
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix   # the Windows build
  wine wine64                                             # runs the Windows build's programs
  googletest                                              # GoogleTest sources, built by both builds
  libssl-dev openssl                                      # the release tool; reading the release key at build time
  clang libclang-rt-dev                                   # libFuzzer and the sanitizers
  xvfb xauth xdotool                                      # the progress window test
  bsdutils                                                # script: the release tool on a terminal
  util-linux passwd                                       # setpriv, useradd: the player's account
  osslsigncode                                            # Authenticode signing in the end-to-end test
)

# The tests run what depends on permissions as a player does, never as root: where they run as
# root (CI), they need an unprivileged account of their own, with its own Wine prefix.
player_account() {
  if [ "$(id -u)" -eq 0 ] && ! id veltomarn-player >/dev/null 2>&1; then
    useradd --create-home --shell /usr/sbin/nologin veltomarn-player
    echo "setup: made the unprivileged test account veltomarn-player"
  fi
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: every package is installed"
  player_account
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
player_account
