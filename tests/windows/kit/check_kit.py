#!/usr/bin/env python3
"""Checks of the Windows release kit (run by scripts/test-windows.sh).

  check_kit.py contents ZIP HEADER
      the zip holds exactly the kit's files under one top folder, none empty;
      the .def names exactly the header's functions; prints each file's size.
  check_kit.py pictures REFERENCE OTHER [REFERENCE OTHER ...]
      each pair of PNGs matches within the budgets of compare_check.py.
"""
import os
import re
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "hosts"))
import compare_check  # noqa: E402

TOP = "halvenor-galaxy-1.0.0-win64/"
FILES = {
    "README.md", "windows.md",
    "bin/halvenor-galaxy.dll", "bin/galaxy-render.exe", "bin/galaxy-viewer.exe",
    "include/halvenor_galaxy.h",
    "lib/halvenor-galaxy.lib", "lib/libhalvenor-galaxy.dll.a", "lib/halvenor-galaxy.def",
    "lib/cmake/HalvenorGalaxy/HalvenorGalaxyConfig.cmake",
    "lib/cmake/HalvenorGalaxy/HalvenorGalaxyConfigVersion.cmake",
    "licenses/mingw-w64.txt", "licenses/gcc-runtime.txt", "licenses/GPL-3.txt", "licenses/stb.txt",
}


def def_exports(text):
    names, in_exports = [], False
    for line in text.splitlines():
        line = line.split(";")[0].strip()
        if not line:
            continue
        if line == "EXPORTS":
            in_exports = True
        elif in_exports:
            names.append(line.split()[0])
    return names


def contents(zip_path, header_path):
    failed = []
    with zipfile.ZipFile(zip_path) as z:
        infos = [i for i in z.infolist() if not i.is_dir()]
        outside = [i.filename for i in infos if not i.filename.startswith(TOP)]
        if outside:
            failed.append(f"files outside {TOP}: {outside}")
        got = {i.filename[len(TOP):] for i in infos if i.filename.startswith(TOP)}
        if got != FILES:
            failed.append(f"missing: {sorted(FILES - got)}, unexpected: {sorted(got - FILES)}")
        for i in infos:
            print(f"{i.file_size:>9}  {i.compress_size:>9}  {i.filename}")
            if i.file_size == 0:
                failed.append(f"{i.filename} is empty")
        print(f"{os.path.getsize(zip_path):>9} bytes  {os.path.basename(zip_path)}")
        def_text = z.read(TOP + "lib/halvenor-galaxy.def").decode() if "lib/halvenor-galaxy.def" in got else ""
    with open(header_path) as f:
        declared = re.findall(r"^GALAXY_API .*?GALAXY_CALL (galaxy_\w+)\(", f.read(), re.M)
    if len(declared) != 14 or sorted(def_exports(def_text)) != sorted(declared):
        failed.append(f"the .def exports {def_exports(def_text)}, the header declares {declared}")
    for f in failed:
        print(f"FAIL {f}")
    return 1 if failed else 0


def pictures(pairs):
    failed = 0
    for ref, other in zip(pairs[::2], pairs[1::2]):
        a, b = compare_check.read_png(ref), compare_check.read_png(other)
        moved, unmatched = compare_check.differing_pixels(a, b)
        total = a[0] * a[1]
        ok = moved <= compare_check.MOVED * total and unmatched <= compare_check.UNMATCHED * total
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {other} against {ref}: {moved} of {total} pixels differ, "
              f"{unmatched} with no match nearby")
    return 1 if failed else 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "contents":
        return contents(sys.argv[2], sys.argv[3])
    if len(sys.argv) >= 4 and sys.argv[1] == "pictures" and len(sys.argv) % 2 == 0:
        return pictures(sys.argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
