# Shared by the Windows recipes: fetching Debian's source packages of one release through a
# private apt set-up, and unpacking them with Debian's patches applied.
#
# Sourced; the recipe sets: work (scratch folder, with stamps/), downloads (kept between runs),
# release (the Debian release the versions are pinned to), debian_packages (NAME=VERSION ...)
# and, optionally, debian_patches_left_out (lines NAME/PATCH). It needs scripts/lib.sh's
# debian_archives.
step() { echo; echo "=== $* ($(date -u +%H:%M:%S))"; }
done_already() { [ -e "$work/stamps/$1" ]; }
mark_done() { touch "$work/stamps/$1"; }

# Downloads the pinned Debian source packages through a private apt set-up (its own sources
# list and package lists under DOWNLOADS), leaving the machine's apt configuration untouched.
# They come from the release they are pinned to, whatever release this machine runs, from the
# archives the machine's apt configuration names.
fetch_debian_sources() {
  done_already fetch && return 0
  step "fetching Debian source packages"
  local apt="$downloads/apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  local kind uri signed=
  [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] &&
    signed="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
  : >"$apt/sources.list"
  while read -r kind uri; do
    case $kind in
      archive) printf 'deb-src %s%s %s main\ndeb-src %s%s %s-updates main\n' "$signed" "$uri" \
        "$release" "$signed" "$uri" "$release" >>"$apt/sources.list" ;;
      security) printf 'deb-src %s%s %s-security main\n' "$signed" "$uri" "$release" \
        >>"$apt/sources.list" ;;
    esac
  done < <(debian_archives)
  [ -s "$apt/sources.list" ] || exit 1
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -q
  local p name version orig
  for p in "${debian_packages[@]}"; do
    name=${p%%=*}
    version=${p#*=}
    # The archive lacks some packages' Debian parts (pcre2's and pixman's .diff.gz), so a
    # failure is judged by the upstream tarball; the Debian patches are applied where present.
    orig=$(orig_tarball "$name" "$version")
    if [ -z "$orig" ]; then
      (cd "$downloads" && apt-get "${opts[@]}" source --download-only "$p") || true
      orig=$(orig_tarball "$name" "$version")
    fi
    # Debian drops a revision from the archive when it replaces it (a security update, say):
    # the current revision of the same upstream version serves, with its own patches.
    if [ -z "$orig" ]; then
      echo "$p is no longer in the archive; taking the current revision of $name"
      (cd "$downloads" && apt-get "${opts[@]}" source --download-only "$name") || true
      orig=$(orig_tarball "$name" "$version")
    fi
    [ -n "$orig" ] || { echo "could not fetch the sources of $p" >&2; exit 1; }
  done
  mark_done fetch
}

# Prints the path of the upstream tarball of a Debian source package, if downloaded.
orig_tarball() {
  local upver=${2#*:}
  upver=${upver%-*}
  ls "$downloads/$1_$upver".orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n1 || true
}


# Unpacks a tarball into WORK and prints the folder it made.
unpack() {
  local tarball=$1 dir
  dir=$(tar tf "$tarball" | awk -F/ 'NR == 1 { print $1 }')
  rm -rf "${work:?}/$dir"
  tar xf "$tarball" -C "$work"
  echo "$work/$dir"
}

# Unpacks a Debian source package's upstream tarball, applies Debian's patch series (its fixes,
# security ones among them) and enters the folder.
enter_debian() {
  local p name=$1 version= upver dir debian_tarball
  for p in "${debian_packages[@]}"; do
    [ "${p%%=*}" = "$name" ] && version=${p#*=}
  done
  [ -n "$version" ] || { echo "no Debian package $name in the list" >&2; exit 1; }
  dir=$(unpack "$(orig_tarball "$name" "$version")")
  upver=${version#*:}
  debian_tarball=$(ls "$downloads/${name}_${upver}".debian.tar.* 2>/dev/null | head -n1 || true)
  # Else the newest revision of the same upstream version that was fetched in its place.
  [ -n "$debian_tarball" ] || debian_tarball=$(ls -v "$downloads/${name}_${upver%-*}"-*.debian.tar.* \
    2>/dev/null | tail -n1 || true)
  if [ -n "$debian_tarball" ]; then
    apply_debian_patches "$dir" "$name" "$debian_tarball"
  else
    echo "no Debian patches for $name $version here; upstream sources only"
  fi
  cd "$dir"
}

# Unpacks an upstream tarball and enters the folder.
enter_tarball() {
  local dir
  dir=$(unpack "$1")
  cd "$dir"
}

apply_debian_patches() {
  local dir=$1 name=$2 tarball=$3 patch opts
  tar xf "$tarball" -C "$dir"
  [ -f "$dir/debian/patches/series" ] || return 0
  local stamp=$dir/.before-debian-patches
  touch "$stamp"
  while read -r patch opts; do
    case $patch in ''|'#'*) continue ;; esac
    if grep -qxF "$name/$patch" <<<"${debian_patches_left_out:-}"; then
      echo "leaving out Debian's $patch"
      continue
    fi
    patch -d "$dir" -s -f ${opts:--p1} --no-backup-if-mismatch <"$dir/debian/patches/$patch"
  done <"$dir/debian/patches/series"
  # Where the patches change build inputs (Debian's own build changes, new tests), the tarball's
  # generated files are kept: every patched file but the code is dated back, so that make does
  # not run autoconf or automake again.
  find "$dir" -newer "$stamp" -type f ! -path "$dir/debian/*" ! \( -name '*.c' -o -name '*.h' \
    -o -name '*.cc' -o -name '*.cpp' \) -exec touch -d '@0' {} +
}
