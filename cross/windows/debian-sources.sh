# Shared by the Windows recipes: fetching Debian's source packages of one release through a
# private apt set-up, unpacking them with Debian's patches applied, and keeping the exact source
# files each build used, so that the source archive beside the packages matches the binaries.
#
# Sourced; the recipe sets: work (scratch folder, with stamps/), downloads (kept between runs),
# release (the Debian release the versions are pinned to), debian_packages (NAME=VERSION ...),
# sources (where the recipe keeps the source files it built from) and sources_name (that
# folder's name in the source archive: libraries or converter); optionally
# debian_optional_sources (NAME=VERSION: kept when the archive has them, else noted),
# debian_binary_packages (NAME=VERSION: .deb files fetched into DOWNLOADS) and
# debian_patches_left_out (lines NAME/PATCH). It needs scripts/lib.sh's debian_archives.
step() { echo; echo "=== $* ($(date -u +%H:%M:%S))"; }
done_already() { [ -e "$work/stamps/$1" ]; }
mark_done() { touch "$work/stamps/$1"; }
declare -p debian_optional_sources &>/dev/null || debian_optional_sources=()
declare -p debian_binary_packages &>/dev/null || debian_binary_packages=()

apt_dir=$downloads/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root
  -o APT::Architecture=all -o APT::Architectures=all)

# Downloads the pinned Debian source packages through a private apt set-up (its own sources
# list and package lists under DOWNLOADS), leaving the machine's apt configuration untouched.
# They come from the release they are pinned to, whatever release this machine runs, from the
# archives the machine's apt configuration names. Binary package lists are those of
# architecture-independent packages, of the release and its updates only (the packages fetched
# that way, the icon themes, are there).
fetch_debian_sources() {
  done_already fetch && return 0
  step "fetching Debian source packages"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/used"
  local kind uri signed= binary=${debian_binary_packages[*]:-}
  [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] &&
    signed="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
  : >"$apt_dir/sources.list"
  while read -r kind uri; do
    case $kind in
      archive)
        printf 'deb-src %s%s %s main\ndeb-src %s%s %s-updates main\n' "$signed" "$uri" \
          "$release" "$signed" "$uri" "$release" >>"$apt_dir/sources.list"
        [ -z "$binary" ] || printf 'deb %s%s %s main\ndeb %s%s %s-updates main\n' "$signed" \
          "$uri" "$release" "$signed" "$uri" "$release" >>"$apt_dir/sources.list" ;;
      security) printf 'deb-src %s%s %s-security main\n' "$signed" "$uri" "$release" \
        >>"$apt_dir/sources.list" ;;
    esac
  done < <(debian_archives)
  [ -s "$apt_dir/sources.list" ] || exit 1
  # Without the archive, what DOWNLOADS holds is used (as when rebuilding from the source
  # archive); what is not there then fails below.
  apt-get "${apt_opts[@]}" update -q || echo "could not update the package lists"
  local p
  for p in "${debian_packages[@]}"; do
    fetch_debian_source "$p" || { echo "could not fetch the sources of $p" >&2; exit 1; }
  done
  for p in "${debian_optional_sources[@]}"; do
    fetch_debian_source "$p" || echo "the sources of $p are not to be had here; going on without"
  done
  for p in "${debian_binary_packages[@]}"; do
    [ -e "$downloads/${p%%=*}_$(bare_version "${p#*=}")_all.deb" ] ||
      (cd "$downloads" && apt-get "${apt_opts[@]}" download "$p")
  done
  mark_done fetch
}

# Fetches one source package (NAME=VERSION) and notes in WORK/used/NAME which revision is used:
# the pinned one or, when the archive no longer has it (Debian drops a revision when it replaces
# it, a security update, say), the newest other revision of the same upstream version that it
# has. A revision is had when its .dsc and its upstream tarballs are; its Debian part may be
# missing from the archive (then the build goes without it, and the record says so).
fetch_debian_source() {
  local name=${1%%=*} pinned=${1#*=} v
  for v in "$pinned" $(other_revisions "$name" "$pinned"); do
    source_had "$name" "$v" ||
      (cd "$downloads" && apt-get "${apt_opts[@]}" source --download-only "$name=$v") || true
    if source_had "$name" "$v"; then
      [ "$v" = "$pinned" ] || echo "$name $pinned is not to be had here; taking $v"
      echo "$v" >"$work/used/$name"
      return 0
    fi
  done
  return 1
}

bare_version() { echo "${1#*:}"; }
upstream_version() { local v=${1#*:}; [ "${v%-*}" = "$v" ] && echo "$v" || echo "${v%-*}"; }

# The other revisions of the same upstream version that the package lists name or DOWNLOADS
# holds, newest first.
other_revisions() {
  local up v
  up=$(upstream_version "$2")
  { apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p'
    cat "$downloads/$1"_*.dsc 2>/dev/null | sed -n 's/^Version: //p'; } | sort -u |
    while read -r v; do
      [ "$v" != "$2" ] && [ "$(upstream_version "$v")" = "$up" ] && echo "$v"
    done | newest_first
}

newest_first() {
  local versions=() v i j t
  while read -r v; do versions+=("$v"); done
  for ((i = 0; i < ${#versions[@]}; i++)); do
    for ((j = i + 1; j < ${#versions[@]}; j++)); do
      if dpkg --compare-versions "${versions[j]}" gt "${versions[i]}"; then
        t=${versions[i]}; versions[i]=${versions[j]}; versions[j]=$t
      fi
    done
  done
  [ ${#versions[@]} -eq 0 ] || printf '%s\n' "${versions[@]}"
}

dsc_of() { echo "$downloads/${1}_$(bare_version "$2").dsc"; }
# The files a .dsc names.
dsc_files() { awk '/^Files:/ { f = 1; next } /^[^ ]/ { f = 0 } f && NF == 3 { print $3 }' "$1"; }
is_debian_part() { case $1 in *.debian.tar.*|*.diff.gz|*.asc) return 0 ;; esac; return 1; }

source_had() {
  local dsc file
  dsc=$(dsc_of "$1" "$2")
  [ -f "$dsc" ] || return 1
  for file in $(dsc_files "$dsc"); do
    is_debian_part "$file" || [ -f "$downloads/$file" ] || return 1
  done
}

used_version() {
  [ -f "$work/used/$1" ] || { echo "no Debian package $1 fetched" >&2; exit 1; }
  cat "$work/used/$1"
}

pinned_version() {
  local p
  for p in "${debian_packages[@]}" "${debian_optional_sources[@]}"; do
    [ "${p%%=*}" = "$1" ] && { echo "${p#*=}"; return 0; }
  done
  echo "no Debian package $1 in the list" >&2
  exit 1
}

# Unpacks a tarball into WORK and prints the folder it made.
unpack() {
  local tarball=$1 dir
  dir=$(tar tf "$tarball" | awk -F/ 'NR == 1 { print $1 }')
  rm -rf "${work:?}/$dir"
  tar xf "$tarball" -C "$work"
  echo "$work/$dir"
}

# Unpacks a Debian source package's upstream tarball, applies Debian's patches (its fixes,
# security ones among them), keeps its source files and enters the folder.
enter_debian() {
  local name=$1 version dsc file orig= debian_part= dir
  version=$(used_version "$name")
  dsc=$(dsc_of "$name" "$version")
  # The upstream tarball (a native package's only one); further upstream components
  # (NAME_VERSION.orig-PART.tar.*) are kept but not built.
  for file in $(dsc_files "$dsc"); do
    case $file in
      *.asc|*.orig-*) ;;
      *.debian.tar.*|*.diff.gz) [ ! -f "$downloads/$file" ] || debian_part=$file ;;
      *.tar.*) orig=$file ;;
    esac
  done
  [ -n "$orig" ] || { echo "no upstream tarball in $dsc" >&2; exit 1; }
  dir=$(unpack "$downloads/$orig")
  if [ -n "$debian_part" ]; then
    apply_debian_patches "$dir" "$name" "$downloads/$debian_part"
  else
    echo "no Debian part of $name $version here; upstream sources only"
  fi
  keep_debian_source "$name" "$version" "$debian_part"
  cd "$dir"
}

# Unpacks an upstream tarball, keeps it and enters the folder.
enter_tarball() {
  local dir
  dir=$(unpack "$1")
  mkdir -p "$sources/upstream"
  cp "$1" "$sources/upstream/"
  built_from="upstream tarball $(basename "$1")"
  built_from_files=("$sources_name/upstream/$(basename "$1")")
  built_from_notes="It is built from the unmodified upstream tarball."
  cd "$dir"
}

apply_debian_patches() {
  local dir=$1 name=$2 part=$3 patch opts
  local stamp=$dir/.before-debian-patches
  touch "$stamp"
  case $part in
    *.diff.gz) gzip -dc "$part" | patch -d "$dir" -s -f -p1 --no-backup-if-mismatch ;;
    *) tar xf "$part" -C "$dir" ;;
  esac
  if [ -f "$dir/debian/patches/series" ]; then
    while read -r patch opts; do
      case $patch in ''|'#'*) continue ;; esac
      if grep -qxF "$name/$patch" <<<"${debian_patches_left_out:-}"; then
        echo "leaving out Debian's $patch"
        continue
      fi
      patch -d "$dir" -s -f ${opts:--p1} --no-backup-if-mismatch <"$dir/debian/patches/$patch"
    done <"$dir/debian/patches/series"
  fi
  # Where the patches change build inputs (Debian's own build changes, new tests), the tarball's
  # generated files are kept: every patched file but the code is dated back, so that make does
  # not run autoconf or automake again.
  find "$dir" -newer "$stamp" -type f ! -path "$dir/debian/*" ! \( -name '*.c' -o -name '*.h' \
    -o -name '*.cc' -o -name '*.cpp' \) -exec touch -d '@0' {} +
}

# Keeps a Debian source package's files as fetched (hard links into DOWNLOADS where possible)
# under SOURCES/debian/NAME_VERSION, and notes what the licence's source.txt says of it:
# built_from, built_from_files, and built_from_notes (how it was built from them; DEBIAN_PART is
# the Debian part applied, if any).
keep_debian_source() {
  local name=$1 version=$2 debian_part=$3 pinned folder file left_out missing=()
  pinned=$(pinned_version "$name")
  folder=debian/${name}_$(bare_version "$version")
  mkdir -p "$sources/$folder"
  built_from="Debian's source package $name, version $version (Debian $release_number, \"$release\")"
  built_from_files=()
  for file in "$(basename "$(dsc_of "$name" "$version")")" $(dsc_files "$(dsc_of "$name" "$version")"); do
    if [ -f "$downloads/$file" ]; then
      cp -l "$downloads/$file" "$sources/$folder/" 2>/dev/null || cp "$downloads/$file" "$sources/$folder/"
      built_from_files+=("$sources_name/$folder/$file")
    else
      missing+=("$file")
    fi
  done
  if [ -n "$debian_part" ]; then
    built_from_notes="It is built with Debian's changes applied (its Debian part, with the patch series in it)."
    left_out=$(sed -n "s|^$name/||p" <<<"${debian_patches_left_out:-}" | tr '\n' ' ')
    [ -z "$left_out" ] || built_from_notes+=" Left out, as fitting only Debian's own system: ${left_out% }."
  else
    built_from_notes="It is built from the upstream tarball alone: Debian's archive, as reachable here, lacks its Debian part."
  fi
  source_notes=
  [ ${#missing[@]} -eq 0 ] ||
    source_notes+=" Not to be had from the archive here, so not in the source archive: ${missing[*]}."
  [ "$pinned" = "$version" ] ||
    source_notes+=" The recipe pins revision $pinned, which the archive here does not have; $version, the newest it has of the same upstream version, is used instead."
  built_from_notes+=$source_notes
}

# Writes SOURCE_TXT: what a shipped part is built from, in the source archive beside the
# packages. scripts/build-windows fills in the archive's name (@SOURCE_ARCHIVE@) and the
# shipped files.
write_source_txt() {
  local file=$1 recipe=$2
  {
    echo "Source: $built_from"
    echo "Source archive: @SOURCE_ARCHIVE@"
    echo "Source files: ${built_from_files[*]}"
    echo "Recipe: $sources_name/recipe/$recipe"
    echo
    echo "$built_from_notes" | fold -s -w 96 | sed 's/ *$//'
    echo "The source archive holds these files and the recipe that built the binaries from them"
    echo "($sources_name/recipe/), with its own patches (cross/windows/patches)."
  } >"$file"
}

# Keeps the recipe as it ran: FILES relative to the checkout.
keep_recipe() {
  local file
  for file in "$@"; do
    mkdir -p "$sources/recipe/$(dirname "$file")"
    cp -r "$root/$file" "$sources/recipe/$(dirname "$file")/"
  done
}
