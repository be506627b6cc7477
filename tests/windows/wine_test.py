#!/usr/bin/env python3
"""The Windows build under Wine: cross-builds the frei0r DLL, the OpenFX
bundle's Win64 file, the frame checksums of tests/regression and the frames
program (tests/windows/frames_test.cpp) with MinGW-w64 into BUILD/win64;
checks that both shipped files import Windows' own DLLs only and export their
entry points only; runs the frame checksums under Wine (the effect module
loaded by LoadLibrary) and the frames program under Wine and here, and
compares their frames byte for byte. A frame that differs is reported with
the count of differing samples and the largest difference.

Exit 77 (skipped) without wine64 or the cross compiler. Every program runs
under a time limit in its own process group; one that overruns is killed and
the test fails naming it. Wine runs in a prefix of its own in a temporary
folder, and its server is stopped at the end.
"""
import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

NAME = "windows_wine"
CROSS = "x86_64-w64-mingw32-g++-posix"
OBJDUMP = "x86_64-w64-mingw32-objdump"
WINE = next((w for w in ("/usr/lib/wine/wine64", shutil.which("wine64") or "") if w and os.access(w, os.X_OK)), None)
# What a Windows install always has: the shipped files may import these alone.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "shell32.dll", "ole32.dll"}
EXPORTS = {"frei0r-1/pluvane.dll": ["f0r_construct", "f0r_deinit", "f0r_destruct", "f0r_get_param_info",
                                    "f0r_get_param_value", "f0r_get_plugin_info", "f0r_init",
                                    "f0r_set_param_value", "f0r_update"],
           "OFX/pluvane.ofx.bundle/Contents/Win64/pluvane.ofx": ["OfxGetNumberOfPlugins", "OfxGetPlugin"]}

failures = []


def fail(message):
    failures.append(message)
    print(f"{NAME}: FAIL: {message}", file=sys.stderr)


def run(args, limit, env=None, cwd=None):
    """Runs a program under a time limit in its own process group; its stdout, or None when it failed."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, cwd=cwd,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        fail(f"{os.path.basename(args[0])} did not finish within its limit of {limit} s; killed: {' '.join(args)}")
        return None
    if p.returncode != 0:
        fail(f"{' '.join(args)} exited {p.returncode}:\n{out[-3000:]}")
        return None
    return out


def check_file(path, exports):
    dump = run([OBJDUMP, "-p", path], 60)
    if dump is None:
        return
    imports = {line.split()[-1].lower() for line in dump.splitlines() if "DLL Name:" in line}
    if imports - SYSTEM_DLLS:
        fail(f"{path} imports {sorted(imports - SYSTEM_DLLS)} besides Windows' own DLLs")
    names, in_table = [], False
    for line in dump.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
        elif in_table and line.strip().startswith("["):
            names.append(line.split()[-1])
        elif in_table:
            in_table = False
    if sorted(names) != sorted(exports):
        fail(f"{path} exports {names}, not {exports}")
    print(f"{NAME}: {os.path.basename(path)}: {os.path.getsize(path)} bytes, imports {', '.join(sorted(imports))}")


def compare(name, a, b):
    """Byte-for-byte equality; otherwise the count of differing samples and the largest difference."""
    if a == b:
        return True
    if len(a) != len(b):
        fail(f"{name}: {len(b)} bytes under Wine, {len(a)} here")
        return False
    fmt = "f" if "Float" in name else "H" if "Short" in name else "B"
    size = struct.calcsize(fmt)
    x, y = struct.unpack(f"<{len(a) // size}{fmt}", a), struct.unpack(f"<{len(b) // size}{fmt}", b)
    diffs = [abs(p - q) for p, q in zip(x, y) if p != q]
    fail(f"{name}: {len(diffs)} of {len(x)} samples differ from Linux's, the largest by {max(diffs)}")
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True, help="the Linux build folder; the cross build goes to BUILD/win64")
    ap.add_argument("--frames", required=True, help="the Linux frames program")
    ap.add_argument("--ofx", required=True)
    ap.add_argument("--frei0r", required=True)
    a = ap.parse_args()
    if not WINE or not shutil.which(CROSS):
        print(f"{NAME}: skipped: needs wine64 and {CROSS} (Debian: wine64, g++-mingw-w64-x86-64-posix)")
        return 77

    win = os.path.join(a.build, "win64")
    toolchain = os.path.join(a.source, "cmake", "mingw-w64-x86_64.cmake")
    if run(["cmake", "-S", a.source, "-B", win, f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], 300) is None:
        return 1
    if run(["cmake", "--build", win, "-j", "2", "--target", "pluvane_frei0r", "pluvane_ofx", "pluvane_effect",
            "test_regression", "test_platform_frames"], 1200) is None:
        return 1
    for rel, exports in EXPORTS.items():
        check_file(os.path.join(win, rel), exports)

    with tempfile.TemporaryDirectory(prefix="pluvane-wine-") as tmp:
        env = dict(os.environ, WINEPREFIX=os.path.join(tmp, "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        here, there = os.path.join(tmp, "linux"), os.path.join(tmp, "wine")
        os.makedirs(here), os.makedirs(there)
        try:
            # The prefix once (the longest step, a minute on a loaded machine).
            run([WINE, "wineboot", "-i"], 300, env)
            # Windows takes Z: for the root of this file system.
            z = lambda path: "Z:" + os.path.abspath(path)
            reg_env = dict(env, PLUVANE_MODULE=z(os.path.join(win, "pluvane_effect.dll")))
            out = run([WINE, os.path.join(win, "tests", "windows", "test_regression.exe")], 900, reg_env)
            if out is not None:
                print(f"{NAME}: frame checksums under Wine: {out.strip().splitlines()[-1]}")
            frames_env = lambda d, ofx, f0r, e: dict(e, PLUVANE_FRAMES_DIR=d, PLUVANE_OFX_FILE=ofx, PLUVANE_FREI0R_FILE=f0r)
            run([a.frames], 300, frames_env(here, a.ofx, a.frei0r, os.environ))
            run([WINE, os.path.join(win, "tests", "windows", "test_platform_frames.exe")], 600,
                frames_env(z(there), z(os.path.join(win, "OFX/pluvane.ofx.bundle/Contents/Win64/pluvane.ofx")),
                           z(os.path.join(win, "frei0r-1/pluvane.dll")), env))
            names = sorted(os.listdir(here))
            if not names:
                fail("the frames program wrote no frame")
            same = 0
            for n in names:
                if not os.path.exists(os.path.join(there, n)):
                    fail(f"{n}: not written under Wine")
                    continue
                with open(os.path.join(here, n), "rb") as f, open(os.path.join(there, n), "rb") as g:
                    same += compare(n, f.read(), g.read())
            print(f"{NAME}: {same} of {len(names)} frames equal to Linux's byte for byte")
        finally:
            subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
