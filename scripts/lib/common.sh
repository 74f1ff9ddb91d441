# Shared by scripts/run and scripts/test: install what is missing, then configure and build.
# Sourced, not run.

VEXA32_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
VEXA32_PACKAGES=(cmake ninja-build g++ libgtest-dev libbenchmark-dev nlohmann-json3-dev
  qt6-base-dev qt6-qpa-plugins qt6-tools-dev libqt6opengl6-dev fonts-dejavu-core libasio-dev libssl-dev python3-dev pybind11-dev python3-pytest
  ccache python3-impacket)

# Compiler output is cached across builds and checkouts of this machine: paths are taken relative
# to the checkout, so a fresh clone elsewhere (CI) hits what an earlier build compiled.
export CCACHE_BASEDIR="$VEXA32_ROOT" CCACHE_NOHASHDIR=1

# What a build that may be packaged is configured with: installed under /usr, the about box
# pointing at the README the tools package installs. scripts/build-types uses it for every build
# type, and scripts/debs packages build/types/g++-Release.
VEXA32_PACKAGE_OPTIONS=(-DCMAKE_INSTALL_PREFIX=/usr
  -DVEXA32_DOCS_URL=file:///usr/share/doc/vexa32-tools/README.md)

# Installs the Debian packages of the list that are not installed yet; nothing when all are.
vexa32_ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${VEXA32_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Installs Samba for its RPC server, a test peer of the DCOM client, without starting its daemons:
# while it installs, the init system is told that no service may start.
vexa32_ensure_samba() {
  if dpkg-query -W -f='${Status}' samba 2>/dev/null | grep -q "install ok installed"; then
    return 0
  fi
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  local policy=/usr/sbin/policy-rc.d
  local had_policy=0
  [ -e "$policy" ] && had_policy=1
  if [ "$had_policy" -eq 0 ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
  fi
  echo "Installing samba (its daemons are not started)"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends samba || true
  [ "$had_policy" -eq 1 ] || $sudo rm -f "$policy"
}

# Installs the OPC UA test server (node-opcua, pinned in its package-lock.json) when it is missing.
vexa32_ensure_test_server() {
  local dir="$VEXA32_ROOT/tests/opcua/server"
  if [ -d "$dir/node_modules/node-opcua" ]; then
    return 0
  fi
  # Node.js may come from elsewhere than Debian (with its own npm); only when there is none at
  # all does Debian's go in.
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    vexa32_ensure_packages nodejs npm
  fi
  echo "Installing the OPC UA test server (npm ci)"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
}

# vexa32_build DIR [cmake options...]: configures (once) and builds DIR, warnings as errors.
vexa32_build() {
  local dir="$1"
  shift
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$VEXA32_ROOT" -B "$dir" -G Ninja -DVEXA32_WERROR=ON "${launcher[@]}" "$@"
  cmake --build "$dir" --parallel "$(nproc)"
}
