#!/usr/bin/env bash
# Cross-builds, for 64-bit Windows, the libraries the program links (GLib, GTK 3 and what they
# stand on, libcurl) into one prefix, from Debian's source packages of the versions Debian 12
# ships and two upstream tarballs kept beside the checkout, and puts beside them what GTK needs
# at run time: its GSettings schemas (as .xml; scripts/build-windows compiles them) and the PNG
# icons of Debian 12's Adwaita and hicolor themes. The prefix keeps the exact source files it was
# built from, with this recipe, under share/sources, and each library's licence texts and a
# source.txt naming them under share/licences/NAME.
#
# Usage: libs.sh PREFIX WORK DOWNLOADS
#   PREFIX     where the libraries are installed (scripts/build-windows passes a staging folder
#              and moves it into place once this script has succeeded)
#   WORK       scratch folder for unpacked sources and build trees; a finished step leaves a
#              stamp there, so a rerun after an interruption carries on where it stopped
#   DOWNLOADS  where the source packages are downloaded to (kept between runs)
# Environment: TOVIMO_JOBS (default 2), TOVIMO_WINDOWS_SOURCES (default: the checkout's
# ../shared/windows-sources).
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
prefix=$1
work=$2
downloads=$3
jobs=${TOVIMO_JOBS:-2}
upstream=${TOVIMO_WINDOWS_SOURCES:-$root/../shared/windows-sources}
. "$root/scripts/lib.sh"

host=x86_64-w64-mingw32
build=$(gcc -dumpmachine)
mkdir -p "$prefix"/{bin,include,lib/pkgconfig,share} "$work/stamps" "$downloads"
sources=$prefix/share/sources
sources_name=libraries

# Debian source packages, pinned to the versions of Debian 12 (bookworm and its updates).
# MinGW-w64's threads library is shipped as Debian's package of it has it: its source is that of
# the installed package.
release=bookworm
release_number=12
debian_packages=(
  zlib=1:1.2.13.dfsg-1+deb12u1
  glib2.0=2.74.6-2+deb12u9
  libffi=3.4.4-1
  pcre2=10.42-1+deb12u2
  gettext=0.21-12
  pixman=0.42.2-1
  libpng1.6=1.6.39-2+deb12u5
  cairo=1.16.0-7
  fribidi=1.0.8-2.1
  harfbuzz=6.0.0+dfsg-3
  pango1.0=1.50.12+ds-1
  gdk-pixbuf=2.42.10+dfsg-1+deb12u4
  libepoxy=1.5.10-1
  gtk+3.0=3.24.38-2~deb12u3
  curl=7.88.1-10+deb12u15
  "mingw-w64=$(dpkg-query -W -f='${source:Version}' mingw-w64-x86-64-dev)"
)
# The icon themes, as Debian 12 ships them (PNG copies of the icons GTK draws; the full-colour
# ones under legacy/), and their sources where the archive has them.
debian_binary_packages=(adwaita-icon-theme=43-1 hicolor-icon-theme=0.17-2)
debian_optional_sources=("${debian_binary_packages[@]}")

# Upstream tarballs Debian's archive does not have here, with their sha256 sums.
upstream_sums="512a524d2a1c6f90963705152cd37fb02e416a77f4e6b4235378924deeea0ac6  atk-2.36.0.tar.gz
97f9e7a43bfce41c30f647ad9ebd0b25cf2d21334ced00202e8cc47114682b48  win-iconv-0.0.9.tar.gz"

# The compilers and tools every build below uses. Only the posix thread model of Debian's
# MinGW-w64 is installed: it gives C++ std::thread, at the cost of libwinpthread-1.dll. GCC's
# own runtime is linked into each library (-static-libgcc, -static-libstdc++), as into the
# program and the converter, so that no DLL of GCC is shipped: thread-local variables would
# otherwise import libgcc_s_seh-1.dll, and C++ code libstdc++-6.dll.
cc=$host-gcc-posix cxx=$host-g++-posix
export CC="$cc -static-libgcc" CXX="$cxx -static-libgcc -static-libstdc++"
export AR=$host-ar RANLIB=$host-ranlib NM=$host-nm
export STRIP=$host-strip WINDRES=$host-windres RC=$host-windres DLLTOOL=$host-dlltool
export OBJDUMP=$host-objdump LD=$host-ld
export CFLAGS="-O2 -g0" CXXFLAGS="-O2 -g0"
export CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"
export PKG_CONFIG=pkg-config PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

. "$here/debian-sources.sh"

check_upstream_sources() {
  step "checking the upstream tarballs in $upstream"
  (cd "$upstream" && sha256sum -c --quiet - <<<"$upstream_sums")
}

# Debian's patches that only fit Debian's own system, left out: GdkPixbuf's loader-query tool
# moved under lib/.
debian_patches_left_out="gdk-pixbuf/debian_queryloader_dir.patch"

# Applies this recipe's patches for a package (patches/NAME-*.patch) to its unpacked sources.
apply_patches() {
  local dir=$1 name=$2 patch
  for patch in "$here"/patches/"$name"-*.patch; do
    [ -e "$patch" ] || continue
    echo "applying $(basename "$patch")"
    patch -d "$dir" -p1 <"$patch"
  done
}

autotools_configure() {
  ./configure --host=$host --build="$build" --prefix="$prefix" \
    --enable-shared --disable-static "$@"
}

meson_cross_file="$work/cross.ini"
write_meson_cross_file() {
  cat >"$meson_cross_file" <<EOF
[binaries]
c = '$cc'
cpp = '$cxx'
ar = '$AR'
strip = '$STRIP'
windres = '$WINDRES'
pkg-config = 'pkg-config'

[properties]
pkg_config_libdir = '$prefix/lib/pkgconfig'

[built-in options]
c_args = ['-I$prefix/include']
cpp_args = ['-I$prefix/include']
c_link_args = ['-L$prefix/lib', '-static-libgcc']
cpp_link_args = ['-L$prefix/lib', '-static-libgcc', '-static-libstdc++']

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
EOF
}

# Configures, builds and installs a meson project in the current folder.
meson_install() {
  rm -rf _build
  # CC, CFLAGS and friends would be taken for the build machine's compiler too.
  env -u CC -u CXX CFLAGS= CXXFLAGS= CPPFLAGS= LDFLAGS= meson setup _build --cross-file "$meson_cross_file" \
    --prefix="$prefix" --libdir=lib --buildtype=plain -Doptimization=2 -Ddebug=false \
    --default-library=shared --wrap-mode=nodownload "$@"
  ninja -C _build -j"$jobs"
  ninja -C _build install
}

build_zlib() {
  # zlib1.dll, its import library and headers, from Debian's zlib (whose tarball leaves out
  # upstream's win32/ folder, so the DLL is linked here directly; every global function is
  # exported, as GNU ld does without a .def).
  done_already zlib && return 0
  step zlib
  enter_debian zlib
  local sources_c=(adler32.c compress.c crc32.c deflate.c gzclose.c gzlib.c gzread.c gzwrite.c
    infback.c inffast.c inflate.c inftrees.c trees.c uncompr.c zutil.c)
  $CC $CFLAGS -shared -o zlib1.dll "${sources_c[@]}" \
    -Wl,--out-implib,libz.dll.a
  cp zlib1.dll "$prefix/bin/"
  cp libz.dll.a "$prefix/lib/"
  cp zlib.h zconf.h "$prefix/include/"
  local version
  version=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' zlib.h)
  cat >"$prefix/lib/pkgconfig/zlib.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zlib
Description: zlib compression library
Version: $version
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
EOF
  licence zlib LICENSE debian/copyright
  mark_done zlib
}

build_win_iconv() {
  # iconv.dll for libintl. Its .def lists iconvctl, which win_iconv.c does not
  # define, so that export is left out.
  done_already win-iconv && return 0
  step win-iconv
  enter_tarball "$upstream/win-iconv-0.0.9.tar.gz"
  grep -v iconvctl iconv.def >iconv-exports.def
  $CC $CFLAGS -shared -o iconv.dll win_iconv.c iconv-exports.def \
    -Wl,--out-implib,libiconv.dll.a
  cp iconv.dll "$prefix/bin/"
  cp libiconv.dll.a "$prefix/lib/"
  cp iconv.h "$prefix/include/"
  licence win-iconv readme.txt
  mark_done win-iconv
}

build_libffi() {
  done_already libffi && return 0
  step libffi
  enter_debian libffi
  autotools_configure --disable-docs --disable-multi-os-directory
  make -j"$jobs"
  make install
  licence libffi LICENSE
  mark_done libffi
}

build_pcre2() {
  done_already pcre2 && return 0
  step pcre2
  enter_debian pcre2
  autotools_configure --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32
  make -j"$jobs" libpcre2-8.la
  make install-libLTLIBRARIES install-nodist_includeHEADERS install-includeHEADERS \
    install-pkgconfigDATA
  licence pcre2 LICENCE
  mark_done pcre2
}

build_libintl() {
  # Only libintl of gettext's runtime half, with Windows threads.
  done_already libintl && return 0
  step libintl
  enter_debian gettext
  cd gettext-runtime
  autotools_configure --enable-threads=windows --disable-java --disable-csharp \
    --disable-libasprintf --disable-openmp --disable-curses --without-emacs \
    --with-libiconv-prefix="$prefix" --with-included-gettext
  make -C intl -j"$jobs"
  make -C intl install
  licence libintl intl/COPYING.LIB
  mark_done libintl
}

build_glib() {
  done_already glib && return 0
  step glib
  enter_debian glib2.0
  meson_install -Dtests=false -Dinstalled_tests=false -Dgtk_doc=false -Dman=false \
    -Dnls=enabled -Dlibmount=disabled -Dselinux=disabled -Dxattr=false -Dlibelf=disabled \
    -Dsysprof=disabled -Ddtrace=false -Dsystemtap=false
  licence glib LICENSES/LGPL-2.1-or-later.txt COPYING
  mark_done glib
}

build_pixman() {
  done_already pixman && return 0
  step pixman
  enter_debian pixman
  meson_install -Dtests=disabled -Dgtk=disabled -Dlibpng=disabled -Dopenmp=disabled \
    -Dtimers=false -Dgnuplot=false
  licence pixman COPYING
  mark_done pixman
}

build_libpng() {
  done_already libpng && return 0
  step libpng
  enter_debian libpng1.6
  autotools_configure --disable-tools
  make -j"$jobs" libpng16.la
  make install-libLTLIBRARIES install-pkgincludeHEADERS install-nodist_pkgincludeHEADERS \
    install-pkgconfigDATA install-header-links install-library-links install-libpng-pc
  licence libpng LICENSE
  mark_done libpng
}

build_cairo() {
  # Windows surfaces and fonts, PNG, the PDF/PS/SVG surfaces GTK prints with, and the GObject
  # types GTK 3 takes from libcairo-gobject-2.dll. That part must be a DLL of its own: linked
  # into both GDK and GTK, its boxed types are registered twice and the program crashes at once.
  done_already cairo && return 0
  step cairo
  enter_debian cairo
  apply_patches "$PWD" cairo
  autotools_configure --enable-win32 --enable-win32-font --enable-png --enable-pdf \
    --enable-ps --enable-svg --enable-gobject --disable-xlib --disable-xcb \
    --disable-xlib-xrender --disable-ft --disable-fc --disable-quartz --disable-gl \
    --disable-glesv2 --disable-script --disable-interpreter --disable-trace \
    --disable-symbol-lookup --disable-gtk-doc --disable-valgrind --disable-full-testing
  make -C src -j"$jobs"
  make -C src install
  make -C util/cairo-gobject -j"$jobs"
  make -C util/cairo-gobject install
  [ -f "$prefix/bin/libcairo-gobject-2.dll" ] && [ -f "$prefix/lib/pkgconfig/cairo-gobject.pc" ] ||
    { echo "cairo's GObject part is not built as libcairo-gobject-2.dll" >&2; exit 1; }
  licence cairo COPYING COPYING-LGPL-2.1 COPYING-MPL-1.1
  mark_done cairo
}

build_fribidi() {
  done_already fribidi && return 0
  step fribidi
  enter_debian fribidi
  meson_install -Ddocs=false
  licence fribidi COPYING
  mark_done fribidi
}

build_harfbuzz() {
  done_already harfbuzz && return 0
  step harfbuzz
  enter_debian harfbuzz
  meson_install -Dglib=enabled -Dgobject=disabled -Dcairo=disabled -Dchafa=disabled \
    -Dicu=disabled -Dgraphite=disabled -Dgraphite2=disabled -Dfreetype=disabled \
    -Dgdi=disabled -Ddirectwrite=disabled -Dcoretext=disabled -Dtests=disabled \
    -Dintrospection=disabled -Ddocs=disabled -Dbenchmark=disabled
  licence harfbuzz COPYING
  mark_done harfbuzz
}

build_pango() {
  # Windows fonts through cairo; no fontconfig or FreeType.
  done_already pango && return 0
  step pango
  enter_debian pango1.0
  meson_install -Dgtk_doc=false -Dintrospection=disabled -Dinstall-tests=false \
    -Dfontconfig=disabled -Dfreetype=disabled -Dxft=disabled -Dlibthai=disabled \
    -Dsysprof=disabled -Dcairo=enabled
  licence pango COPYING
  mark_done pango
}

build_gdk_pixbuf() {
  # The PNG loader is built into the library, so no loader modules or cache are needed.
  done_already gdk-pixbuf && return 0
  step gdk-pixbuf
  enter_debian gdk-pixbuf
  meson_install -Dpng=enabled -Djpeg=disabled -Dtiff=disabled -Dbuiltin_loaders=png \
    -Dgtk_doc=false -Ddocs=false -Dman=false -Dintrospection=disabled -Dtests=false \
    -Dinstalled_tests=false -Drelocatable=true -Dnative_windows_loaders=false \
    -Dgio_sniffing=false
  licence gdk-pixbuf COPYING
  mark_done gdk-pixbuf
}

build_atk() {
  done_already atk && return 0
  step atk
  enter_tarball "$upstream/atk-2.36.0.tar.gz"
  meson_install -Ddocs=false -Dintrospection=false
  licence atk COPYING
  mark_done atk
}

build_epoxy() {
  # OpenGL through WGL only, as GDK's Windows backend uses it.
  done_already epoxy && return 0
  step epoxy
  enter_debian libepoxy
  meson_install -Dglx=no -Degl=no -Dx11=false -Dtests=false -Ddocs=false
  licence epoxy COPYING
  mark_done epoxy
}

build_gtk() {
  # GTK 3 with GDK's Windows backend alone. No print backend: the file backend does not link for
  # Windows, and the Windows print dialog needs none. The input methods are built into the
  # library (GTK's default on Windows). GLib's code generators and glib-compile-resources are
  # Debian's own, found on PATH; the themes' CSS comes made in the tarball.
  done_already gtk && return 0
  step gtk
  enter_debian gtk+3.0
  apply_patches "$PWD" gtk
  meson_install -Dx11_backend=false -Dwayland_backend=false -Dbroadway_backend=false \
    -Dwin32_backend=true -Dintrospection=false -Ddemos=false -Dexamples=false -Dtests=false \
    -Dinstalled_tests=false -Dprint_backends='' -Dcolord=no
  # Compiled by scripts/build-windows, with Debian's glib-compile-schemas, into the packages.
  ls "$prefix"/share/glib-2.0/schemas/org.gtk.Settings.FileChooser.gschema.xml >/dev/null
  licence gtk COPYING
  mark_done gtk
}

build_curl() {
  # HTTP and HTTPS only, TLS through Windows' own Schannel (verified against the system's
  # certificate store), so no TLS library is shipped. No CA file of this machine is built in:
  # curl would otherwise take Debian's bundle path, which Windows does not have. Built with
  # CMake, which names the library libcurl.dll as the program's start-up check expects.
  done_already curl && return 0
  step curl
  enter_debian curl
  rm -rf _build
  cmake -S . -B _build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_RC_COMPILER="$WINDRES" \
    -DCMAKE_SHARED_LINKER_FLAGS=-static-libgcc \
    -DCMAKE_FIND_ROOT_PATH="$prefix;/usr/$host" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_SCHANNEL=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_UNIX_SOCKETS=OFF \
    -DCURL_ZLIB=ON -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.dll.a"
  cmake --build _build -j"$jobs"
  cmake --install _build
  licence curl COPYING
  mark_done curl
}

build_winpthreads() {
  # MinGW-w64's threads library, which the posix thread model needs, as Debian's package has it.
  done_already winpthreads && return 0
  step winpthreads
  cp "/usr/$host/lib/libwinpthread-1.dll" "$prefix/bin/"
  local version dir
  version=$(used_version mingw-w64)
  dir=$work/winpthreads-licence
  mkdir -p "$dir"
  tar xf "$downloads/mingw-w64_$(upstream_version "$version").orig.tar.bz2" -C "$dir" \
    --wildcards '*/mingw-w64-libraries/winpthreads/COPYING'
  keep_debian_source mingw-w64 "$version" ""
  built_from_notes="libwinpthread-1.dll is Debian's binary of it (package mingw-w64-x86-64-dev, version $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)), built from this source package.$source_notes"
  cd "$dir"/*/mingw-w64-libraries/winpthreads
  licence winpthreads COPYING /usr/share/doc/mingw-w64-common/copyright
  mark_done winpthreads
}

build_icons() {
  # The PNG icons of Debian's Adwaita and hicolor themes (no SVG loader is shipped), whole, with
  # their index.theme; scripts/build-windows picks the icons the packages ship.
  done_already icons && return 0
  step icons
  local p name version dir theme
  for p in "${debian_binary_packages[@]}"; do
    name=${p%%=*} version=${p#*=}
    dir=$work/deb-$name
    rm -rf "$dir"
    dpkg-deb -x "$downloads/${name}_$(bare_version "$version")_all.deb" "$dir"
    for theme in "$dir"/usr/share/icons/*/index.theme; do
      theme=$(basename "$(dirname "$theme")")
      mkdir -p "$prefix/share/icons/$theme"
      cp "$dir/usr/share/icons/$theme/index.theme" "$prefix/share/icons/$theme/"
      (cd "$dir/usr/share/icons/$theme" && find . -name '*.png' -print0 |
        xargs -0 -r cp --parents -t "$prefix/share/icons/$theme")
    done
    # The icons are shipped as Debian's binary package has them.
    built_from_notes="The icons are the PNG files of Debian's binary package $name, version $version, as it has them"
    if [ -f "$work/used/$name" ]; then
      keep_debian_source "$name" "$(used_version "$name")" ""
      built_from_notes+=", built from this source package.$source_notes"
    else
      built_from="Debian's binary package $name, version $version (Debian $release_number, \"$release\")"
      built_from_files=()
      built_from_notes+=". Its source package is not in the source archive: Debian's archive, as reachable here, lacks its upstream tarballs."
    fi
    (cd "$dir/usr/share/doc/$name" && licence "$name" copyright)
  done
  mark_done icons
}

# Copies a library's licence texts (paths relative to the current folder) into the prefix, with
# a source.txt naming the source files it was built from.
licence() {
  local name=$1 file
  shift
  mkdir -p "$prefix/share/licences/$name"
  for file in "$@"; do
    [ -e "$file" ] && cp "$file" "$prefix/share/licences/$name/"
  done
  [ -n "$(ls -A "$prefix/share/licences/$name")" ] || { echo "no licence text for $name" >&2; exit 1; }
  write_source_txt "$prefix/share/licences/$name/source.txt" cross/windows/libs.sh
}

# No DLL may need one of GCC's: none is shipped.
check_no_gcc_runtime() {
  local dll
  for dll in "$prefix"/bin/*.dll; do
    if $OBJDUMP -p "$dll" | grep -qiE 'DLL Name: (libgcc_s|libstdc\+\+)'; then
      echo "$(basename "$dll") needs a DLL of GCC's runtime" >&2
      exit 1
    fi
  done
}

check_upstream_sources
keep_recipe cross/windows/libs.sh cross/windows/debian-sources.sh cross/windows/patches \
  cross/windows/mingw-w64-x86_64.cmake scripts/lib.sh
fetch_debian_sources
write_meson_cross_file
for lib in zlib win_iconv libffi pcre2 libintl glib pixman libpng cairo fribidi harfbuzz \
  pango gdk_pixbuf atk epoxy gtk curl winpthreads icons; do
  (build_$lib)
done
check_no_gcc_runtime
step "libraries built"
