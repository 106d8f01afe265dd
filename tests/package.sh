#!/usr/bin/env bash
# Builds the packages of a build directory and checks what a user unpacks:
# the Debian package as Debian checks it (lintian: no error, no warning), or
# the Windows ZIP with a readable form of the manual pages beside the README.
set -u
build=$1
version=$2
kind=$3
made=$(cmake --build "$build" --target package 2>&1) || { echo "$made"; echo "the packages do not build"; exit 1; }
failed=0
expect() {  # listing, then the paths it must hold
  local listing=$1 path
  shift
  for path in "$@"; do
    grep -q "/$path\$" <<<"$listing" || { echo "the package lacks $path"; failed=1; }
  done
}
if [[ $kind == zip ]]; then
  zip=$build/packages/junctor-$version-windows-x86_64.zip
  listing=$(cmake -E tar tf "$zip") || exit 1
  expect "$listing" bin/junctor.exe bin/realpath.exe bin/tidyup.exe share/doc/junctor/README.md \
    share/doc/junctor/junctor.html share/doc/junctor/realpath.html share/doc/junctor/tidyup.html
  exit $failed
fi
deb=$build/packages/junctor_${version}_$(dpkg --print-architecture).deb
listing=$(dpkg -c "$deb" | awk '{print $NF}') || exit 1
expect "$listing" usr/share/man/man1/junctor.1.gz usr/share/man/man1/jrealpath.1.gz \
  usr/share/man/man1/tidyup.1.gz usr/share/doc/junctor/copyright usr/share/doc/junctor/changelog.gz
command -v lintian >/dev/null || { echo "lintian is missing: run scripts/install-deps.sh"; exit 1; }
lintian --fail-on error,warning "$deb" 2>&1 | grep -v "^running with root privileges"
[[ ${PIPESTATUS[0]} == 0 ]] || failed=1
exit $failed
