#!/usr/bin/env python3
"""The Windows build under Wine: cross-builds with MinGW-w64 into BUILD/win64
the frei0r DLL, the OpenFX bundle's Win64 file, the frame checksums of
tests/regression and the frames program (frames_test.cpp); checks that both
shipped files import Windows' own DLLs only and export their entry points
only; runs the frame checksums under Wine (the effect module loaded by
LoadLibrary), and the frames program under Wine and here, whose frames must
be equal (their hashes).

Exit 77 (skipped) without wine64 or the cross compiler. Programs run under
limits.py's time limits; Wine in a prefix of its own in a temporary folder,
its server stopped at the end.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from limits import NAME, fail, failures, run  # noqa: E402

CROSS = "x86_64-w64-mingw32-g++-posix"
def _program(*candidates):
    return next((p for p in candidates if p and os.access(p, os.X_OK)), None)

WINE = _program("/usr/lib/wine/wine64", shutil.which("wine64"))
# Debian's wine64 alone puts its server beside wine64, not on PATH.
WINESERVER = _program("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver", shutil.which("wineserver"))
# What a Windows install always has: the shipped files may import these alone.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "shell32.dll", "ole32.dll"}
EXPORTS = {"frei0r-1/pluvane.dll": ["f0r_construct", "f0r_deinit", "f0r_destruct", "f0r_get_param_info",
                                    "f0r_get_param_value", "f0r_get_plugin_info", "f0r_init",
                                    "f0r_set_param_value", "f0r_update"],
           "OFX/pluvane.ofx.bundle/Contents/Win64/pluvane.ofx": ["OfxGetNumberOfPlugins", "OfxGetPlugin"]}

def main():
    ap = argparse.ArgumentParser()
    for option in ("--source", "--build", "--frames", "--ofx", "--frei0r"):  # --frames: the Linux frames program
        ap.add_argument(option, required=True)
    a = ap.parse_args()
    if not WINE or not shutil.which(CROSS):
        print(f"{NAME}: skipped: needs wine64 and {CROSS} (Debian: wine64, g++-mingw-w64-x86-64-posix)")
        return 77

    win = os.path.join(a.build, "win64")
    toolchain = os.path.join(a.source, "cmake", "mingw-w64-x86_64.cmake")
    if run(["cmake", "-S", a.source, "-B", win, f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], 300) is None or \
       run(["cmake", "--build", win, "-j", "2", "--target", "pluvane_frei0r", "pluvane_ofx", "pluvane_effect",
            "test_regression", "test_platform_frames"], 1200) is None:
        return 1
    for rel, exports in EXPORTS.items():
        dump = run(["x86_64-w64-mingw32-objdump", "-p", os.path.join(win, rel)], 60) or ""
        imports = {line.split()[-1].lower() for line in dump.splitlines() if "DLL Name:" in line}
        if imports - SYSTEM_DLLS:
            fail(f"{rel} imports {sorted(imports - SYSTEM_DLLS)} besides Windows' own DLLs")
        table = dump.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n")[0]
        if sorted(re.findall(r"^\s*\[\s*\d+\] (\S+)$", table, re.M)) != sorted(exports):
            fail(f"{rel} exports not just {exports}:{table}")

    with tempfile.TemporaryDirectory(prefix="pluvane-wine-") as tmp:
        env = dict(os.environ, WINEPREFIX=os.path.join(tmp, "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        z = lambda *path: "Z:" + os.path.abspath(os.path.join(*path))  # Windows takes Z: for the root
        try:
            run([WINE, "wineboot", "-i"], 300, env)  # the prefix once (a minute on a loaded machine)
            out = run([WINE, os.path.join(win, "tests", "windows", "test_regression.exe")], 900,
                      dict(env, PLUVANE_MODULE=z(win, "pluvane_effect.dll")))
            if out is not None:
                print(f"{NAME}: frame checksums under Wine: {out.strip().splitlines()[-1]}")
            frames = lambda out: sorted(l.strip() for l in (out or "").splitlines() if l.startswith("frame "))
            here = frames(run([a.frames], 300, dict(os.environ, PLUVANE_OFX_FILE=a.ofx, PLUVANE_FREI0R_FILE=a.frei0r)))
            there = frames(run([WINE, os.path.join(win, "tests", "windows", "test_platform_frames.exe")], 600,
                               dict(env, PLUVANE_OFX_FILE=z(win, list(EXPORTS)[1]), PLUVANE_FREI0R_FILE=z(win, list(EXPORTS)[0]))))
            if not here or here != there:
                fail(f"frames (name, hash) here and under Wine differ: {sorted(set(here) ^ set(there))}")
            print(f"{NAME}: {len(here)} frames compared")
        finally:
            if WINESERVER:
                subprocess.run([WINESERVER, "-k"], env=env, timeout=60, capture_output=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
