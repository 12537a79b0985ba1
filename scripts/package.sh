#!/usr/bin/env bash
# Builds the Debian package qmhost (qmhost, qmsim, the plug-in, the stand-in
# host library, the site agent's service, manual pages, bash completion) in
# build-package/ and checks it with lintian, failing on any error.
#   scripts/package.sh          writes build-package/qmhost_VERSION-1_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-package
scripts/install-deps.sh demo package

# Debian's hardening flags, as a package built by dpkg-buildpackage has them,
# and bindnow with them (full RELRO, as the normal build links too).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF \
    -DQM_BUILD_MAN=ON -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null \
    || { echo "package.sh: configure failed" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" || { echo "package.sh: build failed" >&2; exit 1; }
rm -f "$build"/qmhost_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) \
    || { tail -n 30 "$build/cpack.log" >&2; echo "package.sh: cpack failed (log: $build/cpack.log)" >&2; exit 1; }
deb=$(ls "$build"/qmhost_*.deb)
dpkg-deb --field "$deb" Package Version Depends
# Errors fail the package; warnings are shown. Overrides, each with its
# reason, are in packaging/debian/lintian-overrides.
lintian --fail-on error --display-level ">=warning" "$deb" || { echo "package.sh: lintian found errors in $deb" >&2; exit 1; }
echo "package.sh: $deb"
