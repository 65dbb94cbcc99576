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
  libgtk-3-dev libcurl4-openssl-dev libdbusmenu-glib-dev libnotify-dev
  libcpp-httplib-dev libsqlite3-dev libssl-dev
  dpkg-dev
)

# What running the program needs besides its libraries: the converter, file types, and the trust
# store that a service over https is verified against.
RUN_PACKAGES=(ffmpeg shared-mime-info ca-certificates)
# Adwaita's full-colour icons (the dialogs' pictures, the tray icon): a package of their own after
# Debian 12.
[ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ] ||
  RUN_PACKAGES+=(adwaita-icon-theme-legacy)

# What the tests need: GoogleTest, a display, a tray host, a window manager, the
# accessibility bus, a browser, openssl for the throwaway certificates of the https tests, and a
# Wayland desktop (sway, waybar's tray, wtype for keys, grim for screenshots, ss for sockets).
TEST_PACKAGES=(
  libgtest-dev googletest
  xvfb xauth xdotool openbox tint2 python3-xlib
  dbus at-spi2-core libatk-adaptor python3 python3-pyatspi python3-gi
  gir1.2-atspi-2.0
  chromium chromium-driver
  file desktop-file-utils
  valgrind
  openssl
  sway waybar wtype grim iproute2
)

# Prints where this machine's apt takes Debian's packages from: "archive URI" (the release and
# its updates) and, when it has one, "security URI". Read from the machine's own apt configuration
# (deb822 .sources files and one-line .list files), so that no archive's address is written
# into the project; another release is fetched from the same archives. Only entries of binary
# packages (type deb) count: an archive named for source packages alone may hold no binaries.
debian_archives() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && { cat "$f"; echo; }
    done
    # One-line entries, as a stanza each.
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" || $1 == "deb-src" {
        printf "Types: %s\nURIs: %s\nSuites: %s\n\n", $1, $2, $3 }'
    done
  } | awk -v release="$codename" '
    function flush(   n, m, i, j, u, s, t, binary) {
      binary = 0
      n = split(types, t, " ")
      for (i = 1; i <= n; i++) if (t[i] == "deb") binary = 1
      if (enabled != "no" && binary) {
        n = split(uris, u, " "); m = split(suites, s, " ")
        for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) {
          if ((s[j] == release || s[j] == release "-updates") && archive == "") archive = u[i]
          if (s[j] == release "-security" && security == "") security = u[i]
        }
      }
      types = uris = suites = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    tolower($1) == "types:" { $1 = ""; types = $0 }
    tolower($1) == "uris:" { $1 = ""; uris = $0 }
    tolower($1) == "suites:" { $1 = ""; suites = $0 }
    tolower($1) == "enabled:" { enabled = tolower($2) }
    END {
      flush()
      if (archive == "") exit 1
      print "archive", archive
      if (security != "") print "security", security
    }' || {
    echo "No Debian archive for $codename found in this machine's apt configuration" >&2
    return 1
  }
}
