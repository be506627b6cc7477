#!/usr/bin/env python3
"""The installed OpenFX bundle in ofxcheck, a host on the official OpenFX
HostSupport library (../shared/ofx-host next to the repository): our
identifiers against the official headers; what `list` and `prefs` show; frames
equal to `pluvane render` in every depth at render scale 1 and 0.5, under no
quirk, each quirk and all at once, and where hosts differ (rates, pixel
aspect, origin, row order and padding, thread pool, premultiplied colour);
Seed and Mix; controls enabled after a panel change as `pluvane controls`
says. ofxcheck leaves the Mask clip unconnected: plugin_test.cpp connects it.

Exit 77 (skipped) without ../shared/ofx-host; programs run under limits.py's time limits.
"""
import argparse
import glob
import itertools
import json
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from limits import NAME, fail, failures, run  # noqa: E402

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

# ---- pictures ---------------------------------------------------------------------------------

def pattern(depth, transparent=False):
    """W x H RGBA, top-down, as the samples of `depth`: ramps and rings,
    in blocks of 2 x 2 equal pixels, so that the half-size picture a host
    hands over at render scale 0.5 is what `pluvane render --downsample 2`
    makes of it in any depth (the mean of equal samples is exact in any units).
    Opaque, or transparent: alpha from 0 (a quarter of it) to full across."""
    full = DEPTHS[depth][2]
    values = []
    for y in range(H):
        for x in range(W):
            bx, by = x // 2 * 2, y // 2 * 2
            r = ((bx - W * 0.4) ** 2 + (by - H * 0.6) ** 2) ** 0.5
            alpha = min(1, max(0, bx / W * 1.4 - 0.35)) if transparent else 1
            values += [v if depth == "float" else round(v * full) for v in (bx / W, by / H, 0.9 if r % 9.0 < 3.0 else 0.2, alpha)]
    return list(unpack(pack(values, depth), depth)) if depth == "float" else values


def alpha_rule(values, depth, premultiply):
    """The documented alpha rule in stored units: premultiplied = round(c x a / full),
    straight = round(c x full / a) (0 where a = 0); floats multiply and divide."""
    full = DEPTHS[depth][2]
    f32 = (lambda v: struct.unpack("<f", struct.pack("<f", v))[0]) if depth == "float" else None
    out = list(values)
    for i in range(0, len(out), 4):
        a = out[i + 3]
        for c in range(i, i + 3):
            if f32:
                out[c] = f32(out[c] * a) if premultiply else (f32(out[c] / a) if a else 0.0)
            elif premultiply:
                out[c] = (out[c] * a * 2 + full) // (full * 2)
            else:
                out[c] = min(full, (out[c] * full * 2 + a) // (a * 2)) if a else 0
    return out


def pack(values, depth):
    return struct.pack(f"<{len(values)}{DEPTHS[depth][1]}", *values)


def unpack(data, depth):
    return struct.unpack(f"<{len(data) // struct.calcsize(DEPTHS[depth][1])}{DEPTHS[depth][1]}", data)


def write_tiff(path, values, depth):
    """An uncompressed RGBA TIFF of W x H (straight alpha): the samples' sizes
    and formats at byte 8, the samples at 24, the directory after them."""
    data = pack(values, depth)
    entries = [(256, 3, 1, W), (257, 3, 1, H), (258, 3, 4, 8), (259, 3, 1, 1), (262, 3, 1, 2), (273, 4, 1, 24),
               (277, 3, 1, 4), (278, 3, 1, H), (279, 4, 1, len(data)), (284, 3, 1, 1), (338, 3, 1, 2), (339, 3, 4, 16)]
    sizes_and_formats = [DEPTHS[depth][0]] * 4 + [3 if depth == "float" else 1] * 4
    with open(path, "wb") as f:
        f.write(b"II*\0" + struct.pack("<I8H", 24 + len(data), *sizes_and_formats) + data + struct.pack("<H", len(entries))
                + b"".join(struct.pack("<HHII", *e) for e in entries) + struct.pack("<I", 0))


def read_plain_tiff(path):
    """The strips of an uncompressed little-endian TIFF (oiiotool --compression none), in order."""
    with open(path, "rb") as f:
        b = f.read()
    (ifd,) = struct.unpack_from("<I", b, 4)
    tags = {}
    for i in range(struct.unpack_from("<H", b, ifd)[0]):
        tag, kind, count, value = struct.unpack_from("<HHII", b, ifd + 2 + 12 * i)
        code = "H" if kind == 3 else "I"
        at = value if count * struct.calcsize(code) > 4 else ifd + 10 + 12 * i  # the values, or the field itself
        tags[tag] = list(struct.unpack_from(f"<{count}{code}", b, at))
    if b[:4] != b"II*\0" or tags.get(259, [1]) != [1]:
        raise ValueError(f"{path} is not an uncompressed little-endian TIFF")
    return b"".join(b[o:o + c] for o, c in zip(tags[273], tags[279]))


# ---- the check ------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    for option in ("--source", "--build", "--pluvane"):
        ap.add_argument(option, required=True)
    ap.add_argument("--preload", default="", help="sanitizer runtimes ofxcheck loads first (a sanitized bundle)")
    a = ap.parse_args()

    host_dir = os.path.normpath(os.path.join(a.source, "..", "shared", "ofx-host"))
    if not os.path.isfile(os.path.join(host_dir, "build.sh")):
        print(f"{NAME}: skipped: {host_dir} is not there (the official OpenFX host library's ofxcheck, which CI puts next to the repository)")
        return 77

    # Our identifiers against the official headers; the per-clip prefixes
    # are named in the reference's prose, not as macros.
    official = {"kOfxImageClipPropRoIPrefix": "OfxImageClipPropRoI_",
                "kOfxImageClipPropComponentsPrefix": "OfxImageClipPropComponents_"}
    for header in glob.glob(os.path.join(host_dir, "vendor", "include", "*.h")):
        text = open(header, encoding="utf-8", errors="replace").read()
        for m in re.finditer(r'#define\s+(kOfx\w+)\s+(?:"([^"]*)"|(?:\(\(int\)\s*)?(\d+)\)?\s*$)', text, re.M):
            official.setdefault(m.group(1), m.group(2) if m.group(2) is not None else m.group(3))
    ours = re.findall(r'inline constexpr \w+ (kOfx\w+)(?:\[\])? = "?([^";]*)"?;',
                      open(os.path.join(a.source, "ofx_api", "ofx_api.h")).read())
    for name, value in ours:
        if official.get(name) != value:
            fail(f"{name} is \"{value}\" in ofx_api/ofx_api.h, \"{official.get(name)}\" in the official headers")
    print(f"{NAME}: {len(ours)} identifiers of ofx_api/ofx_api.h checked against the official headers")

    work = tempfile.mkdtemp(prefix="pluvane-ofxcheck-")
    built = os.path.join(a.build, "ofxcheck")
    prefix = os.path.join(work, "prefix")
    if run([os.path.join(host_dir, "build.sh"), "host"], 900, env=dict(os.environ, OFXCHECK_BUILD=built)) is None or \
       run(["cmake", "--install", a.build, "--prefix", prefix], 300) is None:
        return 1
    host_env = dict(os.environ)
    host_env.pop("OFX_PLUGIN_PATH", None)
    if a.preload:
        host_env.update(LD_PRELOAD=a.preload, ASAN_OPTIONS="detect_leaks=0")

    def ofx(command, quirks, *args):
        """ofxcheck's JSON lines."""
        q = ["--quirk", ",".join(quirks)] if quirks else []
        out = run([os.path.join(built, "bin", "ofxcheck"), command, "--plugin-path", os.path.join(prefix, "OFX", "Plugins"),
                   "--id", PLUGIN] + q + list(args), 300, env=host_env)
        return [json.loads(l) for l in (out or "").splitlines() if l.startswith("{")]

    def named(listed, kind, name):
        return next((p for p in listed if p.get("kind") == kind and p.get("name") == name), {})

    # `list` describing under a quirk is also the check that what the host
    # lacks is optional: HostSupport knows no kOfxParamPropUseHostOverlayHandle,
    # so every describe here runs without the on-screen handle.
    quirk_sets = [[]] + [[q] for q in QUIRKS] + [QUIRKS]
    for quirks in quirk_sets:
        what = "+".join(quirks) or "no quirk"
        listed = ofx("list", quirks)
        if not any(l.get("kind") == "plugin" for l in listed) or any(l.get("kind") == "describe_failed" for l in listed):
            fail(f"list under {what}: the plug-in does not describe: {listed}")
        for p in listed:
            if p.get("kind") == "param" and p.get("type") in ("double", "double2d"):
                if not (p.get("range_declared") and p.get("display_range_declared")) or "clamped_to" in p:
                    fail(f"list under {what}: {p['name']} lacks a range or display range")
        for name, (kind, default, low, high) in AROUND.items():
            got = [named(listed, "param", name).get(k) for k in ("type", "default", "min", "max", "display_min", "display_max",
                                                                  "range_declared", "display_range_declared")]
            if got != [kind, default, low, high, low, high, True, True]:
                fail(f"list under {what}: {name} is {got}, not {(kind, default, low, high)} with its display range")
        prefs = (ofx("prefs", quirks, "--fps", str(FPS)) or [{}])[-1]
        if not prefs.get("ok") or not prefs.get("returned", {}).get("frame_varying"):
            fail(f"prefs under {what}: ok {prefs.get('ok')}, frame varying {prefs.get('returned', {}).get('frame_varying')}")

    # The general context: an optional Mask clip read as alpha, beside Source.
    # What hosts rely on: the version `pluvane --version` says, the contexts
    # and depths, one render at a time per instance, whole frames, one time.
    general = ofx("list", [], "--context", "general")
    mask = named(general, "clip", "Mask")
    if not mask.get("optional") or not mask.get("is_mask") or mask.get("components") != ["OfxImageComponentAlpha"]:
        fail(f"list --context general: the Mask clip is {mask}, not an optional Alpha mask")
    clips = [named(general, "clip", c).get("components") for c in ("Source", "Output")]
    if clips != [["OfxImageComponentRGBA", "OfxImageComponentRGB"], ["OfxImageComponentRGBA"]]:
        fail(f"list --context general: Source and Output take {clips}, not RGBA or RGB in and RGBA out")
    version = ".".join((run([a.pluvane, "--version"], 60) or "0.0").split()[-1].split(".")[:2])
    want = {"label": "Pluvane", "version": version, "render_thread_safety": "OfxImageEffectRenderInstanceSafe",
            "contexts": ["OfxImageEffectContextFilter", "OfxImageEffectContextGeneral"],
            "pixel_depths": ["OfxBitDepthByte", "OfxBitDepthShort", "OfxBitDepthFloat"],
            "supports_tiles": False, "supports_multi_resolution": False, "temporal_clip_access": False}
    declared = next((p for p in general if p.get("kind") == "plugin"), {})
    if {k: declared.get(k) for k in want} != want:
        fail(f"list: the plug-in declares {declared}, not {want}")
    invert = named(general, "param", "maskInvert")
    if (invert.get("type"), invert.get("label"), invert.get("default")) != ("bool", "Invert Mask", False):
        fail(f"list --context general: maskInvert is {invert}, not an \"Invert Mask\" bool, off")

    numbers = itertools.count()

    def reference(depth, fps=FPS, scale=1, extra=(), picture=None, frame=FRAME):
        """`pluvane render` of the pattern (or `picture`), with the controls and the key."""
        inp, out = (os.path.join(work, f"{kind}-{next(numbers)}.tif") for kind in ("in", "ref"))
        write_tiff(inp, pattern(depth) if picture is None else picture, depth)
        args = [a.pluvane, "render", inp, "-o", out, "--frame", str(frame), "--fps", str(fps),
                "--depth", str(DEPTHS[depth][0]), "--key", f"{KEY[1]}={KEY[2]}"] + list(extra)
        args += [a for _, label, value in CONTROLS for a in ("--set", f"{label}={value}")]
        args += ["--downsample", "2"] if scale != 1 else []
        if run(args, 300) is None or run(["oiiotool", "--iconfig", "oiio:UnassociatedAlpha", "1", out,
                                          "--compression", "none", "-o", out + ".plain.tif"], 60) is None:
            return None
        return read_plain_tiff(out + ".plain.tif")

    def through_ofxcheck(depth, quirks=(), scale=1, extra=(), picture=None, fps=FPS, frame=FRAME, edited=()):
        """The frame ofxcheck renders, and its summary; controls in `edited`
        change after the instance is made, as from a panel (instance changed)."""
        full = pattern(depth) if picture is None else picture
        if scale != 1:  # one pixel of each 2 x 2 block
            full = [full[(y * W + x) * 4 + c] for y in range(0, H, 2) for x in range(0, W, 2) for c in range(4)]
        raw_in, raw_out = os.path.join(work, "in.raw"), os.path.join(work, "out.raw")
        with open(raw_in, "wb") as f:
            f.write(pack(full, depth))
        args = ["--in", raw_in, "--width", str(int(W * scale)), "--height", str(int(H * scale)), "--depth", depth,
                "--out", raw_out, "--frame", str(frame), "--fps", str(fps), "--render-scale", str(scale),
                "--key", f"{KEY[0]}={KEY[2]}"]
        args += [a for name, _, value in CONTROLS for a in ("--edit" if name in edited else "--set", f"{name}={value}")]
        summary = ofx("render", quirks, *args, *extra)
        if not summary:
            return None, {}
        with open(raw_out, "rb") as f:
            return f.read(), summary[-1]

    refs = {}
    compared = 0

    def compare(what, got, want):
        nonlocal compared
        compared += 1
        if got is not None and want is not None and got != want:
            diff = sum(x != y for x, y in zip(got, want)) if len(got) == len(want) else "all"
            fail(f"{what}: {diff} bytes differ from pluvane render")

    for quirks in quirk_sets:
        what = "+".join(quirks) or "no quirk"
        # Without a rate from the host the plug-in renders at its documented
        # default: the host's own rate cannot reach it, so the frame is
        # `pluvane render` at that rate.
        fps = DEFAULT_FPS if "no-frame-rate" in quirks else FPS
        for depth in DEPTHS:
            for scale in (1, 0.5):
                if (depth, fps, scale) not in refs:
                    refs[(depth, fps, scale)] = reference(depth, fps, scale)
                got, summary = through_ofxcheck(depth, quirks, scale)
                compare(f"{depth} at scale {scale} under {what}", got, refs[(depth, fps, scale)])
                # The source's region, and the whole source asked for whatever the window.
                region = summary.get("source_region_of_definition")
                if got and (summary.get("region_of_definition"), summary.get("regions_of_interest", {}).get("Source")) != (region, region):
                    fail(f"{depth} at scale {scale} under {what}: regions {summary.get('region_of_definition')}, "
                         f"{summary.get('regions_of_interest')}, not the source's {region}")

    # Before frame 0: frame -3 is frame 999997 (README), and differs from frame -2.
    minus3 = through_ofxcheck("byte", frame=-3)[0]
    compare("frame -3 (pluvane render's 999997)", minus3, reference("byte", frame=1000000 - 3))
    if minus3 is not None and minus3 == through_ofxcheck("byte", frame=-2)[0]:
        fail("frame -3 equals frame -2")

    # Hosts that differ from ofxcheck's defaults: a rate given as a double, a
    # pixel aspect, images away from 0,0 with rows stored top-down and
    # padded, the host's thread pool, and the point light's position keyed
    # between frames (canonical coordinates: x times the aspect, y up).
    for depth, fps, rate in (("short", 23.976, "24000/1001"), ("float", 12.5, "25/2")):
        got = through_ofxcheck(depth, fps=fps, extra=(
            "--par", "2", "--origin", "5,-3", "--negative-rowbytes", "--row-padding", "7", "--threads", "3",
            "--key", f"lightPosition=2:{(5 + 10) * 2},{H - 3 - 8};10:{(5 + 50) * 2},{H - 3 - 30}"))[0]
        compare(f"{depth} at {fps} fps, aspect 2, away from 0,0, top-down, padded, on 3 threads", got,
                reference(depth, rate, extra=("--pixel-aspect", "2", "--key", "Light Position=2:10,8,10:50,30")))

    # A premultiplied Source: the host's colour made straight for the
    # effect, its result premultiplied again; Mix 0 is the Source's bytes.
    # Rows padded by an odd count, so the samples sit at any byte.
    for depth in DEPTHS:
        source = alpha_rule(pattern(depth, transparent=True), depth, premultiply=True)
        got = through_ofxcheck(depth, picture=source, extra=("--premult", "premultiplied", "--row-padding", "7"))[0]
        want = reference(depth, picture=alpha_rule(source, depth, premultiply=False))
        compare(f"premultiplied {depth}", got, want and pack(alpha_rule(unpack(want, depth), depth, True), depth))
        if depth == "short":
            got = through_ofxcheck(depth, picture=source, extra=("--premult", "premultiplied", "--set", "mix=0"))[0]
            if got is not None and got != pack(source, depth):
                fail("Mix 0 over a premultiplied Source is not the Source")

    # Seed and Mix set in the host are `pluvane render --seed --mix`, in the
    # filter context and in the general one (its Mask unconnected: no limit).
    for depth in ("byte", "float"):
        want = reference(depth, extra=("--seed", "5", "--mix", "0.4"))
        for context in ("filter", "general"):
            got = through_ofxcheck(depth, extra=("--set", "seed=5", "--set", "mix=0.4", "--context", context))[0]
            compare(f"seed 5 and mix 0.4 in {depth} ({context} context)", got, want)
        if want is not None and want == refs[(depth, FPS, 1)]:
            fail(f"seed 5 and mix 0.4 in {depth} give the frame of seed 0 and mix 1")

    # A popup chosen in the panel after the instance is made: the plug-in
    # answers instance changed, enabling the controls `pluvane controls`
    # enables for that choice, and renders the same frame.
    for edited, extra, choice in ((("lightType",), (), "Light Type=Point Light"),
                                   ((), ("--edit", "using=AE Lights"), "Using=AE Lights")):
        got, summary = through_ofxcheck("byte", edited=edited, extra=extra)
        if edited:
            compare("a control changed through instance changed", got, refs[("byte", FPS, 1)])
        table = run([a.pluvane, "controls", "--set", choice] + [a for _, label, value in CONTROLS if label not in choice
                                                                for a in ("--set", f"{label}={value}")], 60) or ""
        head = (table.splitlines() or [""])[0]
        name_at, type_at = head.find("name"), head.find("type")
        enabled = {l[name_at:type_at].strip(): l.rstrip().endswith(" enabled") for l in table.splitlines() if l.rstrip().endswith("abled")}
        states = {p["label"]: p["enabled"] for p in summary.get("param_states", {}).values() if p.get("label") in enabled}
        if not enabled or states != enabled:
            fail(f"after {choice} through instance changed, enabled {states}, not as pluvane controls says: {enabled}")

    if failures:
        print(f"{NAME}: {len(failures)} failure(s); work files kept in {work}", file=sys.stderr)
        return 1
    print(f"{NAME}: {compared} frames through ofxcheck equal to pluvane render "
          f"(no quirk, each of {len(QUIRKS)} quirks and all at once, and where hosts differ; list and prefs under each)")
    subprocess.run(["rm", "-rf", work])
    return 0


if __name__ == "__main__":
    sys.exit(main())
