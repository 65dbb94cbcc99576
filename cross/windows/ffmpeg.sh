#!/usr/bin/env bash
# Cross-builds, for 64-bit Windows, the converter the packages ship beside the program: a static
# ffmpeg.exe from Debian 12's source package of ffmpeg, under the LGPL only (no GPL or non-free
# parts, no external libraries), with just what the orders need: Flash video in, the orders'
# containers and codecs out.
#
# Usage: ffmpeg.sh OUT WORK DOWNLOADS
#   OUT        receives ffmpeg.exe; under licence/, what the packages ship with it: the
#              LGPL 2.1 text, the configure line it was built with, and source.txt naming the
#              Debian source package and version it came from; and under source/, the exact
#              source files it was built from with this recipe, for the source archive
#              (scripts/build-windows passes a staging folder and moves it into place once this
#              script has succeeded)
#   WORK       scratch folder for the unpacked sources and the build; a finished step leaves a
#              stamp there
#   DOWNLOADS  where the source package is downloaded to (kept between runs)
# Environment: TOVIMO_JOBS (default 2).
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$1
work=$2
downloads=$3
jobs=${TOVIMO_JOBS:-2}
. "$root/scripts/lib.sh"

host=x86_64-w64-mingw32
mkdir -p "$out/licence" "$work/stamps" "$downloads"
sources=$out/source
sources_name=converter

# Debian's source package, pinned to the version of Debian 12 (bookworm and its updates).
release=bookworm
release_number=12
debian_packages=(ffmpeg=7:5.1.9-0+deb12u1)

. "$here/debian-sources.sh"

# What the orders need. In: the FLV demuxer and the codecs Flash video carries. Out: the
# orders' containers (AVI, ASF/WMV, 3GP, QuickTime, PSP, MP4) and the encoders they default to
# or name. The filters are those the converter puts into its graphs by itself (scaling,
# resampling, format conversion, trimming, rotation). The ASF demuxer comes along because this
# version builds the ASF muxer's tables (asf_tags.o) only with it.
components=(
  --enable-protocol=file,pipe
  --enable-demuxer=flv,live_flv,asf
  --enable-decoder=flv,h263,vp6,vp6a,vp6f,h264,mpeg4,aac,aac_fixed,aac_latm,mp3,mp3float
  --enable-decoder=nellymoser,adpcm_swf,pcm_s16le,pcm_s16be,pcm_u8,pcm_alaw,pcm_mulaw
  --enable-parser=h264,h263,mpeg4video,aac,aac_latm,mpegaudio
  --enable-bsf=null,aac_adtstoasc,extract_extradata
  --enable-encoder=mpeg4,msmpeg4v2,msmpeg4v3,wmv1,wmv2,h263,aac,ac3,ac3_fixed,mp2,mp2fixed
  --enable-encoder=wmav2,pcm_s16le,pcm_s16be,pcm_u8
  --enable-muxer=avi,asf,tgp,mov,psp,mp4
  --enable-filter=null,anull,scale,aresample,format,aformat,trim,atrim,setpts,asetpts,fps
  --enable-filter=transpose,hflip,vflip,rotate,volume,apad
)

build_ffmpeg() {
  done_already ffmpeg && return 0
  step ffmpeg
  enter_debian ffmpeg
  # A static program that needs no DLL but Windows' own: w32threads rather than winpthreads,
  # the compiler's runtime linked in. x86 assembly through nasm, as on Debian.
  local options=(--target-os=mingw32 --arch=x86_64 --cross-prefix=$host- --cc=$host-gcc-posix
    --enable-cross-compile --disable-everything --disable-autodetect --disable-network
    --disable-doc --disable-debug --disable-ffplay --disable-ffprobe --disable-avdevice
    --enable-w32threads --enable-static --disable-shared --extra-ldflags=-static
    --pkg-config=false "${components[@]}")
  ./configure "${options[@]}" | tee "$work/configure.out"
  # The converter is shipped under the LGPL: configure must say so.
  grep -qx 'License: LGPL version 2.1 or later' "$work/configure.out" ||
    { echo "configure does not report LGPL version 2.1 or later" >&2; exit 1; }
  make -j"$jobs" ffmpeg.exe
  $host-strip -o "$out/ffmpeg.exe" ffmpeg.exe
  if $host-objdump -p "$out/ffmpeg.exe" | sed -n 's/^\s*DLL Name: //p' | grep -qi winpthread; then
    echo "ffmpeg.exe imports libwinpthread" >&2
    exit 1
  fi

  cp COPYING.LGPLv2.1 "$out/licence/"
  printf './configure %s\n' "${options[*]}" >"$out/licence/configure.txt"
  local patches
  patches=$(grep -v '^#' debian/patches/series 2>/dev/null | awk 'NF { print "  " $1 }' || true)
  write_source_txt "$out/licence/source.txt" cross/windows/ffmpeg.sh
  {
    echo
    echo "The patches of its series:"
    echo "${patches:-  none}"
    echo "It is licensed under the GNU Lesser General Public License, version 2.1 or later"
    echo "(COPYING.LGPLv2.1); configure.txt is the line it was configured with."
  } >>"$out/licence/source.txt"
  mark_done ffmpeg
}

keep_recipe cross/windows/ffmpeg.sh cross/windows/debian-sources.sh scripts/lib.sh
fetch_debian_sources
(build_ffmpeg)
step "converter built"
