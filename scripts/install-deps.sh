#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks and the demo need,
# and only those that are missing. Runs apt-get through sudo when not root.
#   scripts/install-deps.sh [--deb]   (--deb: also what building and checking the Debian packages needs)
set -euo pipefail

packages=(
  build-essential g++ cmake make pkg-config git binutils
  clang libclang-rt-14-dev clang-format clang-tidy
  libssl-dev openssl libengine-gost-openssl
  libzip-dev zipcmp zip unzip libdeflate-dev zlib1g-dev
  nettle-dev
  libcurl4-openssl-dev
  uuid-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  gnutls-bin
  python3 python3-pytest python3-venv python3-setuptools python3-wheel
  libxml2-utils
  time
  nlohmann-json3-dev
)
if [[ "${1:-}" == "--deb" ]]; then
  packages+=(debhelper dpkg-dev fakeroot lintian)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
