#!/usr/bin/env bash
# By hand, not in CI: the README's two commands on a brand-new Debian 12.
#
#   scripts/check-fresh.sh [--render-only] [--fresh-wine] [--root-only]
#
# Makes a Debian 12 (bookworm) minbase root with debootstrap, plus git and
# ca-certificates and nothing else, clones this repository's committed HEAD
# into it with that root's own git, and runs there, as root:
#
#   bash scripts/render.sh
#   bash scripts/test.sh          (left out with --render-only)
#
# Both install what they need through scripts/install-deps.sh, so a package
# missing from its lists fails here. Uncommitted changes are not in the
# clone: commit first.
#
# The pristine root is made once and kept in a cache directory
# (HALVENOR_FRESH_CACHE, default /var/cache/halvenor-galaxy-fresh); every run
# works on a new copy of it, so every run starts from a fresh machine. The
# Windows stage of test.sh makes its Wine root (1.7 GB, downloaded) under
# /var/cache/halvenor-galaxy; by default the host's is lent to the fresh root
# (bind mount, shared under its lock), --fresh-wine makes it anew inside.
# --root-only makes the pristine root and stops. Logs: render.log and test.log in the cache directory. Needs root and the
# Debian archive the host's apt sources name. Exits 0 when both commands
# passed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${HALVENOR_FRESH_CACHE:-/var/cache/halvenor-galaxy-fresh}
PRISTINE=$CACHE/bookworm-minbase
WORK=$CACHE/run
SUITE=bookworm
INCLUDE=git,ca-certificates
STAMP=$PRISTINE/.halvenor-ready
WINE_CACHE=/var/cache/halvenor-galaxy

die() { echo "check-fresh: $*" >&2; exit 1; }

RENDER_ONLY=0
FRESH_WINE=0
ROOT_ONLY=0
for a in "$@"; do
  case "$a" in
    --render-only) RENDER_ONLY=1 ;;
    --fresh-wine) FRESH_WINE=1 ;;
    --root-only) ROOT_ONLY=1 ;;
    *) die "usage: $0 [--render-only] [--fresh-wine] [--root-only]" ;;
  esac
done

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mounts)"
command -v debootstrap >/dev/null || die "debootstrap is not installed (scripts/install-deps.sh installs it)"
git -C "$ROOT" rev-parse --verify -q HEAD >/dev/null || die "$ROOT is not a git checkout"
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
  echo "check-fresh: note: uncommitted changes are not part of the check" >&2
fi

source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock -n 9 || die "another check-fresh run holds $CACHE"

if [ ! -f "$STAMP" ]; then
  mirror=$(host_mirror)
  echo "check-fresh: making the Debian $SUITE minbase root in $PRISTINE from $mirror" >&2
  rm -rf --one-file-system "$PRISTINE"
  unshare --mount --propagation private \
    debootstrap --variant=minbase --include="$INCLUDE" \
      --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
      "$SUITE" "$PRISTINE" "$mirror" >"$CACHE/debootstrap.log" 2>&1 \
    || die "debootstrap failed; see $CACHE/debootstrap.log"
  # The sources a fresh installation from that mirror has.
  {
    echo "deb $mirror $SUITE main"
    echo "deb $mirror $SUITE-updates main"
    echo "deb ${mirror%/debian*}/debian-security $SUITE-security main"
  } >"$PRISTINE/etc/apt/sources.list"
  touch "$STAMP"
fi
[ "$ROOT_ONLY" = 1 ] && exit 0

echo "check-fresh: copying the pristine root" >&2
rm -rf --one-file-system "$WORK"
cp -a "$PRISTINE" "$WORK"
cp /etc/resolv.conf "$WORK/etc/resolv.conf"
# Certificates this host's administrator added (a network that reaches npm
# through an inspecting proxy signs with its own): a fresh machine on the
# same network gets the same ones, or nothing outside Debian's archive works.
if ls /usr/local/share/ca-certificates/*.crt >/dev/null 2>&1; then
  mkdir -p "$WORK/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$WORK/usr/local/share/ca-certificates/"
  chroot "$WORK" update-ca-certificates >/dev/null
  # Node keeps its own list unless told to read the system's as well.
  EXTRA_CA=/etc/ssl/certs/ca-certificates.crt
fi
# The committed HEAD as a bare repository inside (this checkout may be a
# worktree whose git directory lies elsewhere); the root's own git clones it.
git clone -q --bare --no-local "$ROOT" "$WORK/root/origin.git"
# Nothing installed inside may start a service.
printf '#!/bin/sh\nexit 101\n' >"$WORK/usr/sbin/policy-rc.d"
chmod +x "$WORK/usr/sbin/policy-rc.d"

# Inside private mount and process namespaces: the mounts and every process
# started go away with the run, whatever happens.
EXTRA_CA=${EXTRA_CA:-}
export WORK ROOT RENDER_ONLY FRESH_WINE WINE_CACHE CACHE EXTRA_CA
unshare --mount --pid --fork --kill-child --propagation private bash -c '
  set -euo pipefail
  # The root a mount point of its own, as on a real machine: wine-env.sh
  # makes / private in its namespace, which a plain directory refuses.
  mount --bind "$WORK" "$WORK"
  mount -t proc proc "$WORK/proc"
  mount --rbind /sys "$WORK/sys"
  mount --rbind /dev "$WORK/dev"
  mount -t tmpfs -o mode=1777 tmp "$WORK/tmp"
  if [ "$FRESH_WINE" = 0 ]; then
    mkdir -p "$WINE_CACHE" "$WORK$WINE_CACHE"
    mount --bind "$WINE_CACHE" "$WORK$WINE_CACHE"
  fi
  in_root() { chroot "$WORK" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
                HOME=/root LANG=C.UTF-8 TERM=dumb ${EXTRA_CA:+NODE_EXTRA_CA_CERTS=$EXTRA_CA} bash -c "$1"; }
  in_root "git clone -q /root/origin.git /root/halvenor-galaxy"
  status=0
  echo "check-fresh: bash scripts/render.sh (log: $CACHE/render.log)" >&2
  start=$(date +%s)
  if in_root "cd /root/halvenor-galaxy && bash scripts/render.sh" >"$CACHE/render.log" 2>&1 \
     && ls "$WORK"/root/halvenor-galaxy/galaxy-out/{solar_system,galaxy,black_hole,asteroid_field}.png >/dev/null; then
    echo "check-fresh: render.sh passed in $(( $(date +%s) - start )) s" >&2
  else
    echo "check-fresh: render.sh FAILED; the end of $CACHE/render.log:" >&2
    tail -n 30 "$CACHE/render.log" >&2
    status=1
  fi
  if [ "$RENDER_ONLY" = 0 ] && [ "$status" = 0 ]; then
    echo "check-fresh: bash scripts/test.sh (log: $CACHE/test.log)" >&2
    start=$(date +%s)
    if in_root "cd /root/halvenor-galaxy && bash scripts/test.sh" >"$CACHE/test.log" 2>&1; then
      echo "check-fresh: test.sh passed in $(( $(date +%s) - start )) s" >&2
    else
      echo "check-fresh: test.sh FAILED; the end of $CACHE/test.log:" >&2
      tail -n 40 "$CACHE/test.log" >&2
      status=1
    fi
  fi
  exit $status
'
