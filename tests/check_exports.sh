#!/usr/bin/env bash
# Checks that a built library exports exactly the fourteen galaxy_* functions,
# undecorated, and nothing else; for the DLL also which DLLs it imports.
set -euo pipefail
kind=$1 lib=$2
expected="galaxy_adjust_camera
galaxy_create
galaxy_create_offscreen
galaxy_destroy
galaxy_frame
galaxy_get_error
galaxy_readback
galaxy_resize
galaxy_screenshot
galaxy_set_camera
galaxy_set_mode
galaxy_set_quality
galaxy_set_time_scale
galaxy_version"
case "$kind" in
  linux) actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort) ;;
  windows)
    # The export table's name section: "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
    actual=$(x86_64-w64-mingw32-objdump -p "$lib" |
             awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF} t&&/^$/{t=0}' | sort) ;;
  *) echo "usage: $0 linux|windows LIB" >&2; exit 2 ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "exports of $lib differ from the fourteen expected:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "$lib: exactly the fourteen exports"

# The DLL runs on a clean Windows: it imports Direct3D 11, DXGI, the HLSL
# compiler, kernel32 and the system C runtime only; the C++ runtime, libgcc
# and winpthread are linked in.
if [ "$kind" = windows ]; then
  imports=$(x86_64-w64-mingw32-objdump -p "$lib" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
  unexpected=$(echo "$imports" |
               grep -Ev '^(d3d11|dxgi|d3dcompiler_47|kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
  if [ -n "$unexpected" ]; then
    echo "$lib imports DLLs a clean Windows lacks or that should be linked in:" >&2
    echo "$unexpected" >&2
    exit 1
  fi
  echo "$lib: imports only" $imports
fi
