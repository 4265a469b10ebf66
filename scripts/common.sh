# Shared by scripts/demo and scripts/test. Source it; it changes nothing by itself.
set -euo pipefail

WL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

WL_PACKAGES=(
  build-essential cmake pkg-config clang-format clang-tidy
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-odbc libqt6sql6-psql libqt6test6
  unixodbc unixodbc-dev odbcinst tdsodbc freetds-bin
  postgresql libpq-dev sqlite3 libsqlite3-dev
  libpulse-dev libpulse-mainloop-glib0 pulseaudio pulseaudio-utils
  libshout3-dev lame icecast2 darkice
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev ffmpeg libgnutls28-dev openssl
  xvfb xauth x11-utils xdotool openbox imagemagick fonts-dejavu-core espeak-ng trayer xclip
  pipewire pipewire-pulse wireplumber dbus libsystemd-dev
  coreutils procps psmisc curl
  desktop-file-utils appstream lintian librsvg2-bin dpkg-dev file
)

wl_say() { printf '==> %s\n' "$*"; }

# Installs the packages that are not installed yet; does nothing when all are there.
wl_install_packages() {
  local missing=()
  for p in "${WL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    wl_say "all ${#WL_PACKAGES[@]} packages are installed"
  else
    wl_say "installing ${#missing[@]} missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
      --no-install-recommends "${missing[@]}"
  fi
  # Installing postgresql starts a cluster and icecast2 a server on the default ports: the
  # program and the tests start their own, so stop those.
  if command -v systemctl >/dev/null && systemctl is-active -q postgresql 2>/dev/null; then
    systemctl stop postgresql || true
  fi
  if [ -x "$WL_ROOT/scripts/register-freetds" ]; then
    "$WL_ROOT/scripts/register-freetds"
  fi
}

# wl_build <folder> [cmake args...]: configures (once) and builds the whole tree there.
wl_build() {
  local dir=$1
  shift
  wl_say "building in $dir $*"
  cmake -S "$WL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
