#!/usr/bin/env bash
# Sets up 32-bit Wine for running the shipped PE32 stub on a machine whose
# kernel cannot run 32-bit programs, without touching the system's packages:
#
#  - qemu-i386-static, unpacked from Debian's qemu-user-static with dpkg -x,
#    registered through binfmt_misc for i386 ELF programs (flag F: the
#    interpreter is opened once, at registration);
#  - Debian 12's i386 wine32 and everything it depends on, downloaded with a
#    private apt state (no dpkg --add-architecture, nothing installed) and
#    unpacked into a private root that qemu uses as its library prefix;
#  - a copy of the system's /usr/lib/wine/wine64 beside the i386 wine loader
#    in that root: Wine 8 starts a program of the other bitness from the
#    folder of its own loader, so this copy runs 64-bit programs natively and
#    hands 32-bit ones to the i386 loader, which runs under qemu;
#  - a small preloaded shim (scripts/qemu-i386-shim.c) for two qemu 7.2
#    faults, listed in the root's /etc/ld.so.preload so that only the i386
#    processes load it;
#  - bin/wine, the command that runs a program with all of this.
#
#   setup-pe32-wine.sh [ROOT]     (default $DRAVEX_PE32_WINE or /var/cache/dravex/pe32-wine)
#
# Idempotent: each step is skipped when its result is already there, so a
# second call takes a moment; the first takes a minute or two and about 1 GB.
# The binfmt_misc entry does not survive a reboot and is made again here.
# Needs root, network access to Debian's mirror for the first call, wine64.
# Exits 0 when ready, 77 with a message when it cannot be set up here.
set -euo pipefail

root_dir=${1:-${DRAVEX_PE32_WINE:-/var/cache/dravex/pe32-wine}}
here=$(cd "$(dirname "$0")" && pwd)
sysroot=$root_dir/root
apt_dir=$root_dir/apt
binfmt=/proc/sys/fs/binfmt_misc
entry=dravex-i386

skip() {
  echo "SKIP: PE32 under Wine cannot be set up here: $*" >&2
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "needs root (binfmt_misc, the cache in $root_dir)"
[ -x /usr/lib/wine/wine64 ] || skip "needs the system's 64-bit Wine (/usr/lib/wine/wine64)"
command -v apt-get >/dev/null && command -v dpkg >/dev/null || skip "needs apt-get and dpkg (Debian 12)"
command -v gcc >/dev/null || skip "needs gcc for the shim"

mkdir -p "$root_dir/bin" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
exec 9>"$root_dir/.lock"
flock 9

# --- qemu-i386-static -------------------------------------------------------
qemu=$root_dir/bin/qemu-i386-static
if [ ! -x "$qemu" ]; then
  echo "pe32-wine: fetching qemu-user-static"
  tmp=$(mktemp -d "$root_dir/qemu.XXXXXX")
  (cd "$tmp" && apt-get download -qq qemu-user-static 2>/dev/null && dpkg -x qemu-user-static_*.deb x) ||
    { rm -rf "$tmp"; skip "cannot download qemu-user-static"; }
  cp "$tmp/x/usr/bin/qemu-i386-static" "$qemu.new" && mv "$qemu.new" "$qemu"
  rm -rf "$tmp"
fi

# --- binfmt_misc ---------------------------------------------------------------
if ! mountpoint -q "$binfmt"; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || skip "cannot mount binfmt_misc"
fi
if [ -e "$binfmt/$entry" ] && ! grep -qx "interpreter $qemu" "$binfmt/$entry"; then
  echo -1 > "$binfmt/$entry"
fi
if [ ! -e "$binfmt/$entry" ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":$entry:M::$magic:$mask:$qemu:F" > "$binfmt/register" 2>/dev/null ||
    skip "cannot register qemu-i386 with binfmt_misc"
fi

# --- the private i386 root ------------------------------------------------------
if [ ! -e "$sysroot/.complete" ]; then
  echo "pe32-wine: fetching Debian 12's wine32 (i386) into a private root"
  # Only bookworm's main suite: it holds the wine32 that matches the
  # system's wine64, and one suite keeps the download small and steady.
  cat > "$apt_dir/sources.list" <<'EOF'
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
EOF
  : > "$apt_dir/status"
  apt_opts=(
    -o "Dir::State=$apt_dir" -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
    -o "Dir::Cache=$apt_dir" -o "Dir::Cache::archives=$apt_dir/archives"
    -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
    -o "APT::Architecture=i386" -o "APT::Architectures=i386" -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root")
  apt-get "${apt_opts[@]}" update -qq >/dev/null || skip "cannot read the i386 package lists"
  wanted=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
  have=$(apt-cache "${apt_opts[@]}" show wine32 2>/dev/null | sed -n 's/^Version: //p' | head -1)
  [ -n "$have" ] || skip "no i386 wine32 in the package lists"
  if [ -n "$wanted" ] && [ "$have" != "$wanted" ]; then
    skip "i386 wine32 $have does not match the system's wine64 $wanted"
  fi
  apt-get "${apt_opts[@]}" install -y -qq --download-only --no-install-recommends wine32 >/dev/null ||
    skip "cannot download wine32 and its dependencies"
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for deb in "$apt_dir"/archives/*.deb; do
    dpkg -x "$deb" "$sysroot"
  done
  rm -f "$apt_dir"/archives/*.deb
  # What libwine's install script does: zlib as a Wine built-in DLL.
  zlib_in=$sysroot/usr/i686-w64-mingw32/lib/zlib1.dll
  zlib_out=$sysroot/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  {
    head -c 64 "$zlib_in"
    printf 'Wine builtin DLL'
    head -c 16 /dev/zero
    tail -c +97 "$zlib_in"
  } > "$zlib_out"
  # The 64-bit loader copied beside the i386 one looks for its libraries
  # relative to itself.
  mkdir -p "$sysroot/usr/lib/x86_64-linux-gnu"
  ln -sfn /usr/lib/x86_64-linux-gnu/wine "$sysroot/usr/lib/x86_64-linux-gnu/wine"
  # The i386 loader's own library cache: without it, it reads the host's.
  printf '/lib/i386-linux-gnu\n/usr/lib/i386-linux-gnu\n' > "$sysroot/etc/ld.so.conf"
  ldconfig -r "$sysroot"
  touch "$sysroot/.complete"
fi

# --- the shim, the 64-bit loader beside the 32-bit one, the command ------------
shim=$sysroot/usr/lib/dravex-qemu-shim.so
if [ ! -e "$shim" ] || [ "$here/qemu-i386-shim.c" -nt "$shim" ]; then
  gcc -m32 -O2 -shared -fPIC -nostdlib -ffreestanding -fno-stack-protector -Wall -Wextra \
    -o "$shim.new" "$here/qemu-i386-shim.c" || skip "cannot build the shim (gcc -m32)"
  mv "$shim.new" "$shim"
fi
mkdir -p "$sysroot/etc"
echo /usr/lib/dravex-qemu-shim.so > "$sysroot/etc/ld.so.preload"
if ! cmp -s /usr/lib/wine/wine64 "$sysroot/usr/lib/wine/wine64"; then
  cp /usr/lib/wine/wine64 "$sysroot/usr/lib/wine/wine64"
fi

cat > "$root_dir/bin/wine.new" <<EOF
#!/bin/sh
# Runs a Windows program with Wine that can start 32-bit programs too.
export QEMU_LD_PREFIX='$sysroot'
export WINESERVER=/usr/lib/wine/wineserver64
exec '$sysroot/usr/lib/wine/wine64' "\$@"
EOF
chmod +x "$root_dir/bin/wine.new"
mv "$root_dir/bin/wine.new" "$root_dir/bin/wine"

# The i386 loader must start (binfmt_misc, qemu, the root, the shim).
QEMU_LD_PREFIX=$sysroot "$sysroot/usr/lib/wine/wine" --version >/dev/null 2>&1 ||
  skip "the i386 wine loader does not start under qemu-i386"
echo "pe32-wine: ready in $root_dir"
