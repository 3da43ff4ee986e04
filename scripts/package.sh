#!/usr/bin/env bash
# Builds the Debian package of apns-provider, apns-push and apns-mock from the
# release build.
#   scripts/package.sh [--build-dir DIR] [--out DIR] [--no-build] [--no-lintian]
# --build-dir  the build to package (default build/release)
# --out        where the .deb goes (default: the build folder)
# --no-build   package the build as it is; otherwise only the programs and the
#              installed files that are out of date are built first
# --no-lintian skip the lintian check (by default lintian's errors fail the
#              script, its warnings are printed)
#
# The package holds exactly what `cmake --install --prefix /usr --strip`
# installs; its version, maintainer and description come from the build
# (project() VERSION, dist/debian/), its dependencies from the binaries
# (dpkg-shlibdeps). Prints the path of the package on the last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
out=""
do_build=1
do_lintian=1
while (($#)); do
  case "$1" in
    --build-dir) build="$(cd "$2" && pwd)"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --no-lintian) do_lintian=0; shift ;;
    -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
out="${out:-$build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in dpkg-shlibdeps dpkg-gencontrol dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done

targets=(apns-provider apns-push apns-mock apns_dist)
if ((do_build)); then
  if [ "$build" = "$root/build/release" ]; then
    bash "$root/scripts/build.sh" release "${targets[@]}"
  else
    cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"
  fi
fi
[ -f "$build/dist/debian/control" ] || { echo "package: $build is not a configured build" >&2; exit 1; }

# The Debian helpers work in a folder with debian/control and
# debian/changelog, the package's files in debian/<package>.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debian"
cp "$build/dist/debian/control" "$build/dist/debian/changelog" "$work/debian/"
cd "$work"
stage=debian/apns-provider

umask 022
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
chmod -R u+rwX,go+rX,go-w "$stage"
mapfile -t binaries < <(find "$stage/usr/bin" -type f | sort)
# Stripped as Debian strips programs: no symbols, debug data or comments.
strip --remove-section=.comment --remove-section=.note "${binaries[@]}"
mkdir -p "$stage/DEBIAN"  # marks the package's root for dpkg-shlibdeps
dpkg-shlibdeps -Tdebian/substvars "${binaries[@]}"
dpkg-gencontrol -papns-provider -P"$stage" -Tdebian/substvars -fdebian/files
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

version="$(sed -n 's/^Version: //p' "$stage/DEBIAN/control")"
arch="$(sed -n 's/^Architecture: //p' "$stage/DEBIAN/control")"
deb="$out/apns-provider_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null

if ((do_lintian)); then
  command -v lintian >/dev/null || { echo "package: lintian is missing (scripts/setup.sh)" >&2; exit 1; }
  # Errors fail (lintian's default --fail-on); warnings and notes are shown.
  lintian --display-info "$deb" >&2 || {
    echo "package: lintian found errors in $deb" >&2
    exit 1
  }
fi
echo "$deb"
