#!/usr/bin/env bash
# The packages as an integrator meets them, on this machine:
#
#   scripts/package-test.sh [DEB_DIR]      (make package-test; DEB_DIR from `make deb`, default build-deb)
#
# lintian on the packages; apt-get install; the library search paths of the installed ELF files; from outside the source tree `vorlent --version`,
# `vorlent doctor` and `vorlent demo` from PATH; a small client built once with pkg-config and
# once with find_package(QelVorlent); an object created by programmatic identifier by an
# ordinary user with an empty user registry (C++ clients and the Python module); the installed
# Python example of the registration flow run by that user; removal
# keeping a foreign entry of the machine registry byte for byte; purge leaving no library,
# headers, registration or folders.
# Needs root (or sudo). Whatever happens, the machine is left as it was found: the packages
# purged, the folders and the test user it made removed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:-$root/build-deb}" && pwd)
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
packages=(libqelvorlent1 libqelvorlent-dev vorlent python3-qelvorlent)
user=qvpkgtest
start=$SECONDS

fail() {
  echo "package-test: $*" >&2
  exit 1
}
# true when any of the packages is installed or has its configuration left
installed() {
  local states
  states=$(dpkg-query -W -f='${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)
  grep -Eq '^([^u].|u[^n])' <<<"$states"
}

# Refuse to run over what someone else put in place: it would not be left as it was.
if installed; then
  fail "QelVorlent packages are installed already; purge them first"
fi
for path in /etc/qelvorlent /var/lib/qelvorlent; do
  [[ ! -e $path ]] || fail "$path exists already; the test would remove it"
done
made_user=0
work=$(mktemp -d)
cleanup() {
  status=$?
  set +e
  if installed; then
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null
  fi
  $sudo rm -rf /etc/qelvorlent /var/lib/qelvorlent
  if ((made_user)); then
    $sudo userdel "$user"
  fi
  $sudo rm -rf "$work"
  if ((status == 0)); then
    echo "package-test: passed in $((SECONDS - start)) s"
  else
    echo "package-test: FAILED" >&2
  fi
  exit $status
}
trap cleanup EXIT INT TERM

shopt -s nullglob
files=()
for p in "${packages[@]}"; do
  found=("$debs/${p}_"*.deb)
  ((${#found[@]} == 1)) || fail "no single ${p}_*.deb in $debs"
  files+=("${found[0]}")
done
version=$(dpkg-deb -f "${files[2]}" Version)  # the project's, as make deb checked

echo "== lintian"
lintian --fail-on error,warning "${files[@]}"

echo "== install"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${files[@]}" >/dev/null
# the library search paths of every ELF file the packages installed
installed_files=()
while IFS= read -r path; do
  [[ -f $path && ! -L $path ]] && installed_files+=("$path")
done < <(dpkg -L "${packages[@]}")
"$root/scripts/check-rpath.sh" "${installed_files[@]}"
[[ $(stat -c %a /var/lib/qelvorlent) == 755 ]] || fail "/var/lib/qelvorlent is not 0755"
[[ $(stat -c %a /var/lib/qelvorlent/keys) == 700 ]] || fail "/var/lib/qelvorlent/keys is not 0700"
grep -q '^\[QelVorlentLib.Vorlent\\CLSID\]$' /etc/qelvorlent/registry || fail "no machine registration"

# Everything below runs in a scratch folder, with a scratch home, from PATH.
chmod 0755 "$work"
cd "$work"
mkdir home
clean_env=(env -i "PATH=/usr/local/bin:/usr/bin:/bin" "HOME=$work/home" "LANG=C.UTF-8")

echo "== vorlent --version, doctor, demo"
[[ $("${clean_env[@]}" vorlent --version) == "vorlent $version" ]] || fail "vorlent --version is not $version"
"${clean_env[@]}" vorlent doctor
"${clean_env[@]}" vorlent demo "$work/demo" >"$work/demo.log" 2>&1 || {
  cat "$work/demo.log"
  fail "vorlent demo failed"
}
tail -n 3 "$work/demo.log"

echo "== clients"
cat >client.cc <<'CC'
// Creates the package object by its programmatic identifier and prints the library's version.
#include <qelvorlent/QelVorlentLib.h>

#include <cstdio>

int main() {
  IVorlent* package = nullptr;
  HRESULT hr = QvCreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, reinterpret_cast<void**>(&package));
  if (FAILED(hr)) {
    std::printf("QvCreateObject: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  BSTR version = nullptr;
  hr = package->get_Version(&version);
  for (UINT i = 0; SUCCEEDED(hr) && i < SysStringLen(version); ++i) std::putchar(static_cast<char>(version[i]));
  std::putchar('\n');
  SysFreeString(version);
  package->Release();
  return FAILED(hr) ? 1 : 0;
}
CC
# shellcheck disable=SC2046
g++ -std=c++17 -o client-pc client.cc $(pkg-config --cflags --libs qelvorlent)
mkdir cmake-client
cp client.cc cmake-client/
cat >cmake-client/CMakeLists.txt <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(Client CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(QelVorlent 1.0 REQUIRED)
add_executable(client client.cc)
target_link_libraries(client PRIVATE QelVorlent::qelvorlent)
CMAKE
cmake -S cmake-client -B cmake-client/build >/dev/null
cmake --build cmake-client/build >/dev/null
cp cmake-client/build/client client-cmake

# An ordinary user with nothing registered of their own: the machine registration serves.
if ! id "$user" >/dev/null 2>&1; then
  $sudo useradd --no-create-home --shell /usr/sbin/nologin "$user"
  made_user=1
fi
for client in client-pc client-cmake; do
  rm -rf "$work/user-home"
  mkdir "$work/user-home"
  $sudo chown "$user" "$work/user-home"
  out=$($sudo runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$work/user-home" "$work/$client") ||
    fail "$client as $user: $out"
  echo "$client as $user: version $out"
  [[ ! -e $work/user-home/.config/qelvorlent/registry ]] || fail "$client wrote a user registry"
done
out=$($sudo runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$work/user-home" python3 -c \
  'import qelvorlent; print(qelvorlent.Dispatch("QelVorlentLib.Vorlent").Version)') || fail "python3 as $user: $out"
echo "python3 as $user: version $out"
# The installed example of the registration flow, with the test PKI it makes itself.
out=$($sudo runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$work/user-home" python3 \
  /usr/share/doc/python3-qelvorlent/examples/registration.py "$work/user-home/registration" 2>&1) ||
  fail "registration.py as $user: $out"
[[ $out == *"всё верно" ]] || fail "registration.py as $user did not end with \"всё верно\": $out"
echo "registration.py as $user: ${out##*$'\n'}"

echo "== remove and purge"
# A foreign entry of the machine registry outlives the removal byte for byte.
foreign=$'\n[Other.Class\\CLSID]\n@={00000000-1111-2222-3333-444444444444}\n'
printf '%s' "$foreign" | $sudo tee -a /etc/qelvorlent/registry >/dev/null
$sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vorlent >/dev/null
[[ "$(cat /etc/qelvorlent/registry; echo .)" == "QelVorlent registry 1"$'\n'"$foreign." ]] ||
  fail "the removal changed the foreign entries: $(cat /etc/qelvorlent/registry)"
$sudo rm /etc/qelvorlent/registry
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null
! installed || fail "packages still installed"
left=(/usr/bin/vorlent /usr/include/qelvorlent /usr/lib/*/libqelvorlent* /usr/lib/*/pkgconfig/qelvorlent.pc
  /usr/lib/*/cmake/QelVorlent /usr/share/qelvorlent /usr/share/man/man1/vorlent.1.gz /etc/qelvorlent
  /var/lib/qelvorlent)
for path in "${left[@]}"; do
  [[ ! -e $path ]] || fail "$path is left after purge"
done
