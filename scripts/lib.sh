# Shared by the project's scripts: installing missing Debian packages.

# Installs the given Debian packages that are not installed yet (apt-get update first).
install_missing() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building the program and the service needs; dpkg-dev for the package's dependencies
# (dpkg-shlibdeps).
BUILD_PACKAGES=(
  cmake g++ make pkg-config
  libgtk2.0-dev libglade2-dev libcurl4-openssl-dev libdbusmenu-glib-dev libnotify-dev
  libcpp-httplib-dev libsqlite3-dev libssl-dev
  dpkg-dev
)

# What running the program needs besides its libraries.
RUN_PACKAGES=(ffmpeg shared-mime-info)

# What the tests need: GoogleTest, a display, a tray host, a window manager, the
# accessibility bus, a browser, and openssl for the throwaway certificates of the https tests.
TEST_PACKAGES=(
  libgtest-dev googletest
  xvfb xauth xdotool openbox trayer python3-xlib
  dbus at-spi2-core libatk-adaptor libgail-common python3 python3-pyatspi python3-gi
  gir1.2-atspi-2.0
  chromium chromium-driver
  file desktop-file-utils
  valgrind
  openssl
)
