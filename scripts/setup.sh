# Sourced by the scripts: installs the Debian packages the build, tests and demo need (the CJK
# font draws the flight modes and states on the fleet page's screenshots and velmora-desk's window;
# the Qt Quick modules are velmora-desk's; help2man, dpkg-dev and lintian make and check the Debian
# package).
PACKAGES=(build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-httpserver-dev qt6-websockets-dev qt6-charts-dev
  libspdlog-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev
  libmosquitto-dev mosquitto openssl socat tmux zlib1g-dev clang-format
  chromium libjs-leaflet libjs-dygraphs python3-websocket fonts-wqy-microhei gdal-bin
  qt6-declarative-dev qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-shapes qml6-module-qtquick-window qml6-module-qtquick-templates
  qml6-module-qtcharts qml6-module-qttest qml6-module-qtqml-workerscript
  libtomlplusplus-dev prometheus-cpp-dev libsystemd-dev help2man dpkg-dev lintian)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi


# The MAVLink bridge's tests talk to an independent MAVLink implementation, node-mavlink, pinned
# by tests/mavlink-peer/package-lock.json (test-only; node_modules is ignored by git).
# A machine whose Node.js comes with its own npm (not Debian's) keeps it.
VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm
fi
if [ ! -d "$VELMORA_ROOT/tests/mavlink-peer/node_modules/node-mavlink" ]; then
  (cd "$VELMORA_ROOT/tests/mavlink-peer" && npm ci --no-audit --no-fund --loglevel=error) ||
    echo "setup: npm ci in tests/mavlink-peer failed; the MAVLink bridge tests will fail" >&2
fi

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Paths relative to the project root, so build folders side by side share the cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
BUILD_DIR="${BUILD_DIR:-build}"

velmora_build() {
  # VELMORA_WERROR=ON (CI): warnings fail the build.
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR="${VELMORA_WERROR:-OFF}" >/dev/null
  cmake --build "$BUILD_DIR" -j2 "$@"
}
