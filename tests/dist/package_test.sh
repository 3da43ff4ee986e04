#!/usr/bin/env bash
# The Debian package that scripts/package.sh makes of this build: lintian
# finds no error in it (package.sh fails otherwise), it holds exactly the
# files the install rule installs, it carries the project's version and the
# dependencies read from the binaries, and its programs print that version.
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
src="$1" build="$2" version="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

deb="$(bash "$src/scripts/package.sh" --no-build --build-dir "$build" --out "$work" | tail -n 1)"
[ -f "$deb" ] || fail "scripts/package.sh made no package"
[ "$(basename "$deb")" = "apns-provider_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "unexpected package name $(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = apns-provider ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -gt 3 ] || fail "no long description"
depends="$(field Depends)"
for lib in libc6 libstdc++6 libssl3 libnghttp2-14 libqt6core6 libqt6gui6 libqt6widgets6; do
  [[ ", $depends," == *", $lib "* ]] || fail "Depends lacks $lib: $depends"
done

# The package's files are the install's files.
DESTDIR="$work/install" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/install" && find . -type f | sed 's|^\./||' | sort) >"$work/installed"
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort >"$work/packaged"
[ -s "$work/installed" ] || fail "the install rule installed nothing"
diff -u "$work/installed" "$work/packaged" >&2 || fail "the package and the install differ"

# The packaged programs run and print the package's version.
dpkg-deb --extract "$deb" "$work/extracted"
for program in apns-provider apns-push apns-pushd apns-mock; do
  out="$(env -u DISPLAY "$work/extracted/usr/bin/$program" --version)"
  [ "$out" = "$program $version" ] || fail "$program --version printed \"$out\""
done

echo "package_test: $(basename "$deb"): $(wc -l <"$work/packaged") files, no lintian errors"
