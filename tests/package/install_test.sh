#!/bin/sh
# install_test.sh BUILD_DIR VERSION: installs the build into a fresh prefix, checks that exactly the
# programs, the module and the documents land there, none with an RPATH, then smoke-tests them there.
set -eu
build=$1 version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
found=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
wanted="./libexec/mirelo/MireloServices ./libexec/mirelo/MireloServicesDesktop.so ./libexec/mirelo/SolvaNearby \
./share/doc/mirelo-native/README.md ./share/doc/mirelo-native/changelog.gz ./share/doc/mirelo-native/copyright "
if [ "$found" != "$wanted" ]; then
  echo "installed: $found"; echo "expected:  $wanted"; exit 1
fi
for binary in "$prefix"/libexec/mirelo/*; do
  if readelf -d "$binary" | grep -Eq 'RPATH|RUNPATH'; then echo "$binary keeps an RPATH"; exit 1; fi
done
exec /usr/bin/python3 "$(dirname "$0")/smoke.py" "$prefix/libexec/mirelo" "$version"
