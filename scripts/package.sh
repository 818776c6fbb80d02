#!/usr/bin/env bash
# Builds the Debian package dist/ostra_<version>_<arch>.deb from the install
# rules: the daemon (stripped) in /usr/sbin, the systemd unit, the init script
# /etc/init.d/ostra (a conffile), the sample settings /usr/share/ostra/ostra.xml,
# the manual page, the relay example, and from packaging/debian/ the
# maintainer scripts, the changelog (its first entry gives the version) and
# the lintian overrides; the copyright file is made from LICENSE. The
# dependencies are what dpkg-shlibdeps finds in the daemon.
# scripts/package-check.sh tests it (lintian too).
#
#   bash scripts/package.sh [amd64|armhf|arm64] [h264|h265|mpeg4]
#
# Default: this machine's architecture and the H.264 daemon. The build goes to
# build-deb-<arch>/ (prefix /usr, daemon only); for the H.265 or MPEG-4 daemon
# to build-deb-<arch>-<codec>/, and the package's version carries the codec
# (dist/ostra_<version>+h265_<arch>.deb).
set -euo pipefail
cd "$(dirname "$0")/.."

host=$(dpkg --print-architecture)
arch=${1:-$host}
codec=${2:-h264}
case "$codec" in
  h264) codec_number=5 ;;
  h265) codec_number=6 ;;
  mpeg4) codec_number=4 ;;
  *)
    echo "usage: bash scripts/package.sh [amd64|armhf|arm64] [h264|h265|mpeg4]" >&2
    exit 2
    ;;
esac
options=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_BUILD_TESTS=OFF -DOSTRA_BUILD_TOOLS=OFF
  -DOSTRA_BUILD_FUZZ=OFF -DOSTRA_VIDEO_CODEC=$codec_number)
if [ "$arch" = "$host" ]; then
  bash scripts/setup.sh dpkg-dev
else
  case "$arch" in
    armhf) options+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake) ;;
    arm64) options+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake) ;;
    *)
      echo "usage: bash scripts/package.sh [amd64|armhf|arm64]" >&2
      exit 2
      ;;
  esac
  bash scripts/cross.sh "$arch" --setup
fi

upstream=$(sed -n 's/^project(ostra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
if [ "${version%-*}" != "$upstream" ]; then
  echo "package: packaging/debian/changelog is at $version, the project at $upstream: add an entry" >&2
  exit 1
fi
build=build-deb-$arch
if [ "$codec" != h264 ]; then
  version=$version+$codec
  build=$build-$codec
fi
stage=$build/stage
deb=dist/ostra_${version}_${arch}.deb

echo "package: building the $arch $codec daemon in $build"
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target ostra
rm -rf "$stage"
DESTDIR=$PWD/$stage cmake --install "$build" --strip >/dev/null

# Dependencies: the shared libraries the daemon links, as dpkg knows them
# (for another architecture from its :<arch> packages' symbols files).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debian"
printf 'Source: ostra\n\nPackage: ostra\nArchitecture: any\n' >"$work/debian/control"
daemon=$PWD/$stage/usr/sbin/ostra
depends=$(cd "$work" && dpkg-architecture -a"$arch" -f -c dpkg-shlibdeps -O -e"$daemon" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || depends="libc6"  # a static daemon needs nothing

# Documentation as Debian has it: manual pages and the changelog compressed,
# the licence as the machine-readable copyright file.
doc=$stage/usr/share/doc/ostra
find "$stage/usr/share/man" -type f -exec gzip -9n {} +
gzip -9n <packaging/debian/changelog >"$doc/changelog.Debian.gz"
rm "$doc/LICENSE"
{
  printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n'
  printf 'Upstream-Name: ostra\n\nFiles: *\nCopyright: %s\nLicense: Expat\n' "$(sed -n 's/^Copyright (c) //p' LICENSE)"
  sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$doc/copyright"
if [ -s packaging/debian/lintian-overrides ]; then
  install -D -m 644 packaging/debian/lintian-overrides "$stage/usr/share/lintian/overrides/ostra"
fi

mkdir -p "$stage/DEBIAN"
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@INSTALLED_SIZE@/$(du -sk --exclude=DEBIAN "$stage" | cut -f1)/" \
  packaging/debian/control.in >"$stage/DEBIAN/control"
sample_md5=$(md5sum <"$stage/usr/share/ostra/ostra.xml" | cut -d' ' -f1)
for script in postinst prerm postrm; do
  sed "s/@SAMPLE_MD5@/$sample_md5/" "packaging/debian/$script" >"$stage/DEBIAN/$script"
  chmod 755 "$stage/DEBIAN/$script"
done
echo /etc/init.d/ostra >"$stage/DEBIAN/conffiles"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"

mkdir -p dist
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "package: $deb ($(stat -c %s "$deb") bytes), Depends: $depends"
dpkg-deb --contents "$deb" | awk '{print "package:   " $1 " " $6}'
