# The Wine set-up shared by run.sh and session.sh, for the stub's two builds.
# Needs $build; reads DRAVEX_WINE_ARCH (64 or 32, default 64) and
# DRAVEX_PE32_WINE (where scripts/setup-pe32-wine.sh keeps 32-bit Wine).
# Sets $wine and $wineserver (the commands), $session (the state files'
# stem), $wine_suffix, and exports WINEPREFIX and the quiet defaults.
wine_arch=${DRAVEX_WINE_ARCH:-64}
pe32_root=${DRAVEX_PE32_WINE:-/var/cache/dravex/pe32-wine}
export WINEDEBUG=-all
# No prompts to install Mono or Gecko: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$wine_arch" = 32 ]; then
  # A 64-bit prefix with its 32-bit half (WoW64): the 64-bit test driver
  # runs natively and starts the PE32 stub through the i386 loader.
  wine_suffix=32
  wine=$pe32_root/bin/wine
  wineserver=/usr/lib/wine/wineserver64
else
  wine_suffix=
  wine=wine
  wineserver=wineserver
fi
export WINEPREFIX="$build/wine-prefix$wine_suffix"
session="$build/wine${wine_suffix}-session"

# True when 32-bit Wine is set up and the kernel hands i386 programs to qemu.
pe32_wine_ready() {
  [ -x "$pe32_root/bin/wine" ] && [ -e "$pe32_root/root/.complete" ] &&
    [ -e /proc/sys/fs/binfmt_misc/dravex-i386 ] &&
    grep -qx enabled /proc/sys/fs/binfmt_misc/dravex-i386
}
