#!/usr/bin/env bash
# A Debian 13 root with Wine 10 and Mesa, for running the Windows build.
#
#   scripts/wine-env.sh make              make the root, or reuse it when complete
#   scripts/wine-env.sh run DIR CMD...    run CMD inside the root, with DIR seen
#                                         there as /src, a private Xvfb as DISPLAY
#                                         and the Wine prefix as WINEPREFIX
#
# The root lives in a cache directory outside the source tree
# (HALVENOR_WINE_CACHE, default /var/cache/halvenor-galaxy), the Wine prefix
# beside it. It comes from the same Debian archive the host's apt sources name;
# the host's own packages and sources are left alone. Needs root.
#
# `run` works in its own mount, network and process namespaces: the mounts it
# makes are visible to nothing else and vanish with it, its Xvfb cannot collide
# with a display of the host (X's abstract sockets live in the network
# namespace), and no process it started outlives it. Runs sharing the cache
# take turns (a lock), so they never share the Wine prefix at the same time.
set -euo pipefail

CACHE=${HALVENOR_WINE_CACHE:-/var/cache/halvenor-galaxy}
ROOTFS=$CACHE/trixie-wine
PREFIX=$CACHE/wine-prefix
SUITE=trixie
PACKAGES="wine wine64 mesa-vulkan-drivers libgl1-mesa-dri libvulkan1 xvfb xauth"
# Written last, so a root without it is an interrupted one and is made anew.
STAMP=$ROOTFS/.halvenor-ready
# Needed since the root was first made: installed into a finished root rather
# than making it anew (the stamp names PACKAGES only, so roots made by older
# trees stay valid for them and for us). xdotool types into Wine's windows.
ADDED_PACKAGES="xdotool"

die() { echo "wine-env: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mounts)"

source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

# apt-get inside the root, with /proc mounted for it in a private namespace.
root_apt() {
  unshare --mount --propagation private bash -c '
    set -e
    mount -t proc proc "$1/proc"
    chroot "$1" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive chroot "$1" apt-get install -y -qq $2
    chroot "$1" apt-get clean
  ' _ "$1" "$2" >"$CACHE/apt.log" 2>&1
}

add_packages() {
  local p missing=""
  for p in $ADDED_PACKAGES; do
    chroot "$ROOTFS" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "wine-env: adding$missing to $ROOTFS" >&2
  root_apt "$ROOTFS" "$missing" || die "installing$missing into the root failed; see $CACHE/apt.log"
}

make_root() {
  if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$PACKAGES" ]; then
    add_packages
    return 0
  fi
  command -v debootstrap >/dev/null || die "debootstrap is not installed (scripts/install-deps.sh installs it)"
  local mirror tmp
  mirror=$(host_mirror)
  tmp=$ROOTFS.partial
  echo "wine-env: making the Debian $SUITE root in $ROOTFS from $mirror" >&2
  # --one-file-system: never into anything still mounted in an old root.
  rm -rf --one-file-system "$tmp" "$ROOTFS"
  # debootstrap mounts /proc and more in the new root; in a private mount
  # namespace those go away with it even when it fails half way.
  unshare --mount --propagation private \
    debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
      "$SUITE" "$tmp" "$mirror" >"$CACHE/debootstrap.log" 2>&1 \
    || die "debootstrap failed; see $CACHE/debootstrap.log"
  cp /etc/resolv.conf "$tmp/etc/resolv.conf"
  # Nothing inside may start a service while packages install.
  printf '#!/bin/sh\nexit 101\n' >"$tmp/usr/sbin/policy-rc.d"
  chmod +x "$tmp/usr/sbin/policy-rc.d"
  root_apt "$tmp" "$PACKAGES $ADDED_PACKAGES" \
    || die "installing Wine and Mesa into the root failed; see $CACHE/apt.log"
  echo "$PACKAGES" >"$tmp/.halvenor-ready"
  mv "$tmp" "$ROOTFS"
  rm -rf "$PREFIX"
}

# Inside the private namespaces: mount, start Xvfb, run, clean up.
XVFB_PID=""
run_inside() {
  local src=$1; shift
  cleanup() {
    chroot "$ROOTFS" env WINEPREFIX=/wineprefix wineserver -k >/dev/null 2>&1 || true
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
    local m
    for m in src wineprefix tmp dev/shm dev/pts dev sys proc; do
      if mountpoint -q "$ROOTFS/$m"; then umount -l "$ROOTFS/$m"; fi
    done
    return 0
  }
  trap cleanup EXIT
  ip link set lo up 2>/dev/null || true
  mkdir -p "$PREFIX" "$ROOTFS/src" "$ROOTFS/wineprefix"
  mount -t proc proc "$ROOTFS/proc"
  mount --rbind /sys "$ROOTFS/sys"
  mount -t tmpfs -o mode=755 dev "$ROOTFS/dev"
  local d
  for d in null zero full random urandom tty; do
    touch "$ROOTFS/dev/$d"
    mount --bind "/dev/$d" "$ROOTFS/dev/$d"
  done
  [ -d /dev/dri ] && mkdir -p "$ROOTFS/dev/dri" && mount --rbind /dev/dri "$ROOTFS/dev/dri"
  mkdir -p "$ROOTFS/dev/pts" "$ROOTFS/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$ROOTFS/dev/pts"
  ln -sf pts/ptmx "$ROOTFS/dev/ptmx"
  mount -t tmpfs -o mode=1777 shm "$ROOTFS/dev/shm"
  mount -t tmpfs -o mode=1777 tmp "$ROOTFS/tmp"
  mount --bind "$PREFIX" "$ROOTFS/wineprefix"
  mount --bind "$src" "$ROOTFS/src"

  chroot "$ROOTFS" Xvfb :1 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -e "$ROOTFS/tmp/.X11-unix/X1" ] && break; sleep 0.1; done
  [ -e "$ROOTFS/tmp/.X11-unix/X1" ] || die "Xvfb did not start inside the root"

  local status=0
  chroot "$ROOTFS" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
      DISPLAY=:1 WINEPREFIX=/wineprefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} \
      WINEDLLOVERRIDES="mscoree,mshtml=" ${WINE_D3D_CONFIG:+WINE_D3D_CONFIG=$WINE_D3D_CONFIG} \
      bash -c 'cd /src && "$@"' _ "$@" || status=$?
  return $status
}

lock_cache() {
  mkdir -p "$CACHE"
  exec 9>"$CACHE/.lock"
  flock 9
}

case "${1:-}" in
  make)
    lock_cache
    make_root
    ;;
  run)
    [ $# -ge 3 ] || die "usage: $0 run DIR CMD..."
    lock_cache
    make_root
    src=$(cd "$2" && pwd)
    shift 2
    # The lock (fd 9) is inherited and held until the run ends.
    exec unshare --mount --net --pid --kill-child --propagation private "$0" __inside "$src" "$@"
    ;;
  __inside)
    shift
    run_inside "$@"
    ;;
  *)
    die "usage: $0 make | run DIR CMD..."
    ;;
esac
