#!/usr/bin/env bash
# Builds tessaran and runs every test in a Debian 13 root made by debootstrap, with g++ and with
# clang, as a newcomer on that release would. The root is kept in TRIXIE_ROOT between runs on one
# machine, and made afresh where it is missing.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
root=${TRIXIE_ROOT:-/var/tmp/tessaran-trixie}
packages=cmake,g++,make,libgtest-dev,clang,clang-tidy,cppcheck,strace,xfsprogs,btrfs-progs
packages=$packages,e2fsprogs,util-linux,mount,dpkg-dev,file,lintian
# debootstrap does not resolve virtual packages: what provides perl-openssl-abi-3 for lintian.
packages=$packages,perl-openssl-defaults

if [ ! -x "$root/usr/bin/clang-tidy" ] || [ ! -x "$root/usr/bin/cppcheck" ] ||
    [ ! -x "$root/usr/bin/clang++" ] || [ ! -x "$root/usr/bin/cmake" ] ||
    [ ! -x "$root/usr/bin/lintian" ]; then
    rm -rf "$root"
    debootstrap --variant=minbase --include="$packages" trixie "$root" http://deb.debian.org/debian
fi

# The root sees the machine's processes, devices and kernel settings, and the sources read-only.
mounted=()
unmount_all() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done
}
trap unmount_all EXIT
bind() {
    mkdir -p "$root${2%/}"
    mount --bind "$1" "$root${2%/}"
    mounted+=("$root${2%/}")
}
bind "$root" /  # a root of its own, as on a real system, where a mount namespace can start
bind /proc /proc
bind /sys /sys
bind /dev /dev
bind "$source_dir" /src
mount -o remount,bind,ro "$root/src"

# awk reads to the end: a reader that stops early fails the writer, and the step, under pipefail.
echo "== Debian 13, static analysis: $(chroot "$root" clang-tidy --version | awk '/version/ && !n++')," \
    "$(chroot "$root" cppcheck --version)"
chroot "$root" sh -c "rm -rf /build && cmake -S /src -B /build -DTESSARAN_TESTS=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null && cd /src && bash .ci/static_analysis.sh /build"

echo "== Debian 13, the package and lintian $(chroot "$root" lintian --version | awk '{ print $2 }')"
chroot "$root" sh -c "rm -rf /build && cmake -S /src -B /build -DTESSARAN_TESTS=OFF >/dev/null \
    && cmake --build /build -j && cd /build \
    && DEBFULLNAME='tessaran CI' DEBEMAIL=ci@tessaran.invalid cpack -G DEB >/dev/null \
    && lintian -EvIL +pedantic --fail-on error,warning,info,pedantic,experimental tessaran_*.deb"

for compiler in g++ clang++; do
    echo "== Debian 13, $compiler: $(chroot "$root" "$compiler" --version | awk 'NR == 1')"
    chroot "$root" env CI="${CI:-}" CXX="$compiler" sh -c \
        "rm -rf /build && cmake -S /src -B /build >/dev/null && cmake --build /build -j \
         && cmake --build /build --target check"
done
