#!/usr/bin/env python3
"""The installed OpenFX bundle in ofxcheck, a host built on the official
OpenFX HostSupport library (../shared/ofx-host next to the repository):
our identifiers against the official headers, `list` and `prefs`, and frames
equal to `pluvane render` in byte, short and float at render scale 1 and 0.5
with a keyed control, with no quirk, each quirk alone and all at once; Seed
and Mix equal to `pluvane render --seed --mix`. ofxcheck connects only
Source in the general context, so the Mask clip's frames are checked in our
own host (plugin_test.cpp); here only its declaration.

Exit 77 (skipped) without ../shared/ofx-host. Every program runs under a time
limit; one that overruns is killed and the test fails naming it.
"""
import argparse
import glob
import json
import os
import re
import struct
import subprocess
import sys
import tempfile

NAME = "openfx_ofxcheck"
PLUGIN = "org.pluvane.Pluvane"
QUIRKS = ["no-plugin-description", "no-default-coordinate-system", "clamp-unranged-doubles",
          "no-frame-rate", "scaled-region", "cache-unless-frame-varying"]
# What ofxcheck's --fps and `pluvane render --fps` give; and the rate the
# plug-in renders at when the host gives none (no-frame-rate), as the README says.
FPS, DEFAULT_FPS = 25, 30
W, H = 48, 32  # even, so that half scale is exact
DEPTHS = {"byte": (8, "B", 255), "short": (16, "H", 65535), "float": (32, "f", 1.0)}
# Rain that shows in a small frame, the point light on, and Ripple Height keyed.
CONTROLS = [("dripRate", "Drip Rate", "6"), ("longevitySec", "Longevity (sec)", "2"),
            ("diffuse", "Diffuse", "60"), ("lightType", "Light Type", "Point Light")]
KEY = ("rippleHeight", "Ripple Height", "0:40,12:180")
FRAME = 9
# The host's own controls: name, type, default, range (as the README states).
AROUND = {"seed": ("int", 0, 0, 63), "mix": ("double", 1, 0, 1)}

failures = []


def fail(message):
    failures.append(message)
    print(f"{NAME}: FAIL: {message}", file=sys.stderr)


def run(args, limit, env=None, check=True):
    """Runs a program under a time limit in its own process group; its stdout."""
    try:
        p = subprocess.run(args, capture_output=True, text=True, timeout=limit, env=env, start_new_session=True)
    except subprocess.TimeoutExpired:
        fail(f"{os.path.basename(args[0])} did not finish within its limit of {limit} s; killed: {' '.join(args)}")
        return None
    if check and p.returncode != 0:
        fail(f"{' '.join(args)} exited {p.returncode}: {p.stderr.strip()[-2000:]}")
        return None
    return p.stdout


# ---- pictures ---------------------------------------------------------------------------------

def pattern(depth):
    """W x H opaque RGBA, top-down, as the samples of `depth`: ramps and rings,
    in blocks of 2 x 2 equal pixels, so that the half-size picture a host
    hands over at render scale 0.5 is what `pluvane render --downsample 2`
    makes of it in any depth (the mean of equal samples is exact in any units)."""
    bits, code, full = DEPTHS[depth]
    values = []
    for y in range(H):
        for x in range(W):
            bx, by = x // 2 * 2, y // 2 * 2
            r = ((bx - W * 0.4) ** 2 + (by - H * 0.6) ** 2) ** 0.5
            rgb = [bx / W, by / H, 0.9 if r % 9.0 < 3.0 else 0.2]
            values += [v if depth == "float" else round(v * full) for v in rgb] + [full]
    return values


def pack(values, depth):
    return struct.pack(f"<{len(values)}{DEPTHS[depth][1]}", *values)


def half(values):
    """The picture at half size: one pixel of each 2 x 2 block."""
    return [values[(y * W + x) * 4 + c] for y in range(0, H, 2) for x in range(0, W, 2) for c in range(4)]


def write_tiff(path, values, depth):
    """An uncompressed RGBA TIFF (straight alpha) of W x H."""
    bits, code, _ = DEPTHS[depth]
    data = pack(values, depth)
    entries = [(256, 3, 1, W), (257, 3, 1, H), (258, 3, 4, None), (259, 3, 1, 1), (262, 3, 1, 2),
               (273, 4, 1, None), (277, 3, 1, 4), (278, 3, 1, H), (279, 4, 1, len(data)),
               (284, 3, 1, 1), (338, 3, 1, 2), (339, 3, 4, None)]
    ifd_at = 8
    extra_at = ifd_at + 2 + 12 * len(entries) + 4
    bits_at, format_at = extra_at, extra_at + 8
    data_at = format_at + 8
    ifd = struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if tag == 258:
            ifd += struct.pack("<HHII", tag, kind, count, bits_at)
        elif tag == 339:
            ifd += struct.pack("<HHII", tag, kind, count, format_at)
        elif tag == 273:
            ifd += struct.pack("<HHII", tag, kind, count, data_at)
        elif kind == 3:
            ifd += struct.pack("<HHIHH", tag, kind, count, value, 0)
        else:
            ifd += struct.pack("<HHII", tag, kind, count, value)
    ifd += struct.pack("<I", 0)
    sample_format = 3 if depth == "float" else 1
    with open(path, "wb") as f:
        f.write(b"II*\0" + struct.pack("<I", ifd_at) + ifd + struct.pack("<4H", *[bits] * 4)
                + struct.pack("<4H", *[sample_format] * 4) + data)


def read_plain_tiff(path):
    """The strips of an uncompressed little-endian TIFF, as written by oiiotool --compression none."""
    with open(path, "rb") as f:
        b = f.read()
    if b[:4] != b"II*\0":
        raise ValueError(f"{path} is not a little-endian TIFF")
    (ifd,) = struct.unpack_from("<I", b, 4)
    (n,) = struct.unpack_from("<H", b, ifd)
    tags = {}
    for i in range(n):
        tag, kind, count, value = struct.unpack_from("<HHII", b, ifd + 2 + 12 * i)
        size = {3: 2, 4: 4}.get(kind, 1) * count
        if kind == 3 and count == 1:
            value &= 0xFFFF
        if size > 4:  # the values are elsewhere
            fmt = "<" + str(count) + ("H" if kind == 3 else "I")
            value = list(struct.unpack_from(fmt, b, value))
        tags[tag] = value if isinstance(value, list) else [value]
    if tags.get(259, [1])[0] != 1:
        raise ValueError(f"{path} is compressed")
    return b"".join(b[o:o + c] for o, c in zip(tags[273], tags[279]))


# ---- the check ------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--pluvane", required=True)
    ap.add_argument("--preload", default="", help="sanitizer runtimes ofxcheck loads first (a sanitized bundle)")
    a = ap.parse_args()

    host_dir = os.path.normpath(os.path.join(a.source, "..", "shared", "ofx-host"))
    if not os.path.isfile(os.path.join(host_dir, "build.sh")):
        print(f"{NAME}: skipped: {host_dir} is not there (the official OpenFX host library's ofxcheck, which CI puts next to the repository)")
        return 77

    # Our identifiers against the official headers.
    official = {}
    for header in glob.glob(os.path.join(host_dir, "vendor", "include", "*.h")):
        text = open(header, encoding="utf-8", errors="replace").read()
        for m in re.finditer(r'#define\s+(kOfx\w+)\s+"([^"]*)"', text):
            official.setdefault(m.group(1), m.group(2))
        for m in re.finditer(r'#define\s+(kOfx\w+)\s+(?:\(\(int\)\s*)?(\d+)\)?\s*$', text, re.M):
            official.setdefault(m.group(1), m.group(2))
    ours = re.findall(r'inline constexpr \w+ (kOfx\w+)(?:\[\])? = "?([^";]*)"?;',
                      open(os.path.join(a.source, "ofx_api", "ofx_api.h")).read())
    # The per-clip prefixes are named in the reference's prose, not as macros.
    prose = {"kOfxImageClipPropRoIPrefix": "OfxImageClipPropRoI_",
             "kOfxImageClipPropComponentsPrefix": "OfxImageClipPropComponents_"}
    for name, value in ours:
        if official.get(name, prose.get(name)) != value:
            fail(f"{name} is \"{value}\" in ofx_api/ofx_api.h, \"{official.get(name)}\" in the official headers")
    print(f"{NAME}: {len(ours)} identifiers of ofx_api/ofx_api.h equal to the official headers'"
          if not failures else f"{NAME}: identifiers differ")

    work = tempfile.mkdtemp(prefix="pluvane-ofxcheck-")
    built = os.path.join(a.build, "ofxcheck")
    env = dict(os.environ, OFXCHECK_BUILD=built)
    if run([os.path.join(host_dir, "build.sh"), "host"], 900, env=env) is None:
        return 1
    ofxcheck = os.path.join(built, "bin", "ofxcheck")
    prefix = os.path.join(work, "prefix")
    if run(["cmake", "--install", a.build, "--prefix", prefix], 300) is None:
        return 1
    host_env = dict(os.environ)
    host_env.pop("OFX_PLUGIN_PATH", None)
    if a.preload:
        host_env.update(LD_PRELOAD=a.preload, ASAN_OPTIONS="detect_leaks=0")
    plugins = os.path.join(prefix, "OFX", "Plugins")

    def ofx(command, quirks, *args, check=True):
        q = ["--quirk", ",".join(quirks)] if quirks else []
        return run([ofxcheck, command, "--plugin-path", plugins, "--id", PLUGIN] + q + list(args), 300, env=host_env, check=check)

    def lines(text):
        return [json.loads(l) for l in (text or "").splitlines() if l.startswith("{")]

    # `list` describing under a quirk is also the check that what the host
    # lacks is optional: HostSupport knows no kOfxParamPropUseHostOverlayHandle,
    # so every describe here runs without the on-screen handle.
    quirk_sets = [[]] + [[q] for q in QUIRKS] + [QUIRKS]
    for quirks in quirk_sets:
        what = "+".join(quirks) or "no quirk"
        listed = lines(ofx("list", quirks))
        if not any(l.get("kind") == "plugin" for l in listed) or any(l.get("kind") == "describe_failed" for l in listed):
            fail(f"list under {what}: the plug-in does not describe: {listed}")
        for p in listed:
            if p.get("kind") == "param" and p.get("type") in ("double", "double2d"):
                if not (p.get("range_declared") and p.get("display_range_declared")) or "clamped_to" in p:
                    fail(f"list under {what}: {p['name']} lacks a range or display range")
        for name, (kind, default, low, high) in AROUND.items():
            p = next((p for p in listed if p.get("kind") == "param" and p.get("name") == name), {})
            got = (p.get("type"), p.get("default"), p.get("min"), p.get("max"))
            if got != (kind, default, low, high) or (low is not None and not (
                    p.get("range_declared") and p.get("display_range_declared")
                    and (p.get("display_min"), p.get("display_max")) == (low, high))):
                fail(f"list under {what}: {name} is {got}, not {(kind, default, low, high)} with its display range")
        prefs = (lines(ofx("prefs", quirks, "--fps", str(FPS))) or [{}])[-1]
        if not prefs.get("ok") or not prefs.get("returned", {}).get("frame_varying"):
            fail(f"prefs under {what}: ok {prefs.get('ok')}, frame varying {prefs.get('returned', {}).get('frame_varying')}")

    # The general context: an optional Mask clip read as alpha, beside Source.
    general = lines(ofx("list", [], "--context", "general"))
    mask = next((c for c in general if c.get("kind") == "clip" and c.get("name") == "Mask"), None)
    if not mask or not mask.get("optional") or not mask.get("is_mask") or mask.get("components") != ["OfxImageComponentAlpha"]:
        fail(f"list --context general: the Mask clip is {mask}, not an optional Alpha mask")
    invert = next((p for p in general if p.get("kind") == "param" and p.get("name") == "maskInvert"), {})
    if (invert.get("type"), invert.get("label"), invert.get("default")) != ("bool", "Invert Mask", False):
        fail(f"list --context general: maskInvert is {invert}, not an \"Invert Mask\" bool, off")

    # The frames.
    def reference(depth, frame, fps, scale, keyed=True, extra=()):
        inp = os.path.join(work, f"full-{depth}.tif")
        out = os.path.join(work, f"ref-{depth}-{frame}-{fps}-{scale}-{keyed}-{'_'.join(extra)}.tif")
        plain = out + ".plain.tif"
        args = [a.pluvane, "render", inp, "-o", out, "--frame", str(frame), "--fps", str(fps),
                "--depth", str(DEPTHS[depth][0])] + list(extra)
        for _, label, value in CONTROLS:
            args += ["--set", f"{label}={value}"]
        if keyed:
            args += ["--key", f"{KEY[1]}={KEY[2]}"]
        if scale != 1:
            args += ["--downsample", "2"]
        if run(args, 300) is None or run(["oiiotool", "--iconfig", "oiio:UnassociatedAlpha", "1", out,
                                          "--compression", "none", "-o", plain], 60) is None:
            return None
        return read_plain_tiff(plain)

    def through_ofxcheck(depth, frame, scale, quirks, keyed=True, edited=False, extra=()):
        full = pattern(depth)
        raw_in = os.path.join(work, f"in-{depth}-{scale}.raw")
        w, h = (W, H) if scale == 1 else (W // 2, H // 2)
        with open(raw_in, "wb") as f:
            f.write(pack(full if scale == 1 else half(full), depth))
        raw_out = os.path.join(work, "out.raw")
        args = ["--in", raw_in, "--width", str(w), "--height", str(h), "--depth", depth, "--out", raw_out,
                "--frame", str(frame), "--fps", str(FPS), "--render-scale", str(scale)]
        for name, _, value in CONTROLS:
            # An edited control changes after the instance is made, as from a panel (instance changed).
            args += ["--edit" if edited and name == "lightType" else "--set", f"{name}={value}"]
        if keyed:
            args += ["--key", f"{KEY[0]}={KEY[2]}"]
        if ofx("render", quirks, *args, *extra) is None:
            return None
        with open(raw_out, "rb") as f:
            return f.read()

    for depth in DEPTHS:
        write_tiff(os.path.join(work, f"full-{depth}.tif"), pattern(depth), depth)

    refs = {}
    compared = 0
    for quirks in quirk_sets:
        what = "+".join(quirks) or "no quirk"
        # Without a rate from the host the plug-in renders at its documented
        # default: the host's own rate cannot reach it, so the frame is
        # `pluvane render` at that rate.
        fps = DEFAULT_FPS if "no-frame-rate" in quirks else FPS
        for depth in DEPTHS:
            for scale in (1, 0.5):
                key = (depth, FRAME, fps, scale)
                if key not in refs:
                    refs[key] = reference(depth, FRAME, fps, scale)
                got = through_ofxcheck(depth, FRAME, scale, quirks)
                compared += 1
                if refs[key] is None or got is None:
                    continue
                if got != refs[key]:
                    diff = sum(x != y for x, y in zip(got, refs[key])) if len(got) == len(refs[key]) else "all"
                    fail(f"{depth} at scale {scale} under {what}: {diff} bytes differ from pluvane render")

    # A still, nothing keyed, in a host that caches by inputs: the rain still moves.
    for quirks in ([], ["cache-unless-frame-varying"]):
        got, want = through_ofxcheck("byte", FRAME, 1, quirks, keyed=False), reference("byte", FRAME, FPS, 1, keyed=False)
        compared += 1
        if got is not None and want is not None and got != want:
            fail(f"unkeyed frame {FRAME} under {quirks or 'no quirk'} differs from pluvane render")
    # "Light Type" chosen in the panel after the instance is made: the plug-in
    # answers instance changed (enabling the point light's controls) and renders the same.
    got = through_ofxcheck("byte", FRAME, 1, [], edited=True)
    compared += 1
    if got is not None and got != refs[("byte", FRAME, FPS, 1)]:
        fail("a control changed through instance changed gives another frame")
    # Before frame 0: frame -3 is frame 999997 (README), and differs from frame -2.
    minus3 = through_ofxcheck("byte", -3, 1, [])
    minus2 = through_ofxcheck("byte", -2, 1, [])
    want = reference("byte", 1000000 - 3, FPS, 1)
    compared += 2
    if minus3 is not None and (minus3 != want or minus3 == minus2):
        fail("frame -3 is not pluvane render's frame 999997, or equals frame -2")

    # Seed and Mix set in the host are `pluvane render --seed --mix`, in the
    # filter context and in the general one (its Mask unconnected: no limit).
    for depth in ("byte", "float"):
        want = reference(depth, FRAME, FPS, 1, extra=("--seed", "5", "--mix", "0.4"))
        for context in ("filter", "general"):
            got = through_ofxcheck(depth, FRAME, 1, [], extra=("--set", "seed=5", "--set", "mix=0.4", "--context", context))
            compared += 1
            if got is not None and want is not None and got != want:
                fail(f"seed 5 and mix 0.4 in {depth} ({context} context) differ from pluvane render --seed 5 --mix 0.4")
        if want is not None and want == refs[(depth, FRAME, FPS, 1)]:
            fail(f"seed 5 and mix 0.4 in {depth} give the frame of seed 0 and mix 1")

    if failures:
        print(f"{NAME}: {len(failures)} failure(s); work files kept in {work}", file=sys.stderr)
        return 1
    print(f"{NAME}: {compared} frames through ofxcheck equal to pluvane render "
          f"(no quirk, each of {len(QUIRKS)} quirks and all at once; list and prefs under each; seed and mix)")
    subprocess.run(["rm", "-rf", work])
    return 0


if __name__ == "__main__":
    sys.exit(main())
