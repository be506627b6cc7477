#!/usr/bin/env python3
"""The editors' panels agree with the frei0r filter they drive.

Kdenlive's description and Shotcut's QML are read into rows (frei0r number,
name, kind, default, span, choices), each checked against the filter loaded
through dlopen, as MLT loads it, and against the controls' valid ranges
(`pluvane controls`, when given). Besides: Kdenlive's panel has every
parameter and is what generate.py writes now; Shotcut's keyframes panel lists
the panel's numbers; the QML passes qmllint when it is installed.

usage: check_panels.py FILTER.so EDITORS_DIR [PLUVANE_PROGRAM]
"""
import ctypes
import math
import os
import re
import shutil
import sys
import xml.etree.ElementTree as ET

# frei0r's records and the `pluvane controls` table, read as the panel's generator reads them.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, os.pardir, os.pardir, "editors", "kdenlive"), os.path.join(HERE, os.pardir, "support")]
import generate  # noqa: E402
from limits import fail, failures, run  # noqa: E402

BOOL, DOUBLE, COLOR, POSITION, STRING = range(5)  # frei0r's parameter types
FIXED = {"Time Unit": "seconds", "Units": "native"}
W, H = 64, 36


def expect(ok, message):
    if not ok:
        fail(message)
    return ok


class Filter:
    def __init__(self, path):
        so = self.so = ctypes.CDLL(path, mode=os.RTLD_LOCAL)
        so.f0r_construct.restype = ctypes.c_void_p
        so.f0r_destruct.argtypes = [ctypes.c_void_p]
        so.f0r_set_param_value.argtypes = so.f0r_get_param_value.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        so.f0r_update.argtypes = [ctypes.c_void_p, ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p]
        so.f0r_init()
        info = generate.PluginInfo()
        so.f0r_get_plugin_info(ctypes.byref(info))
        self.params = []  # (name, type) by number
        for i in range(info.num_params):
            p = generate.ParamInfo()
            so.f0r_get_param_info(ctypes.byref(p), i)
            self.params.append((p.name.decode(), p.type))
        self.number = {name: i for i, (name, _) in enumerate(self.params)}

    def instance(self, values, action):
        """`action(so, instance)` on a fresh instance with `values` ({name: number or text}) set."""
        inst = self.so.f0r_construct(W, H)
        keep = [ctypes.c_char_p(v.encode()) if isinstance(v, str) else ctypes.c_double(v) for v in values.values()]
        for name, v in zip(values, keep):
            self.so.f0r_set_param_value(inst, ctypes.byref(v), self.number[name])
        out = action(self.so, inst)
        self.so.f0r_destruct(inst)
        return out

    def render(self, values, seconds=1.0):
        def update(so, inst):
            src = (ctypes.c_uint32 * (W * H))(*[(x * 4) | ((y * 7) << 8) | (((x * y) & 255) << 16) | (255 << 24)
                                                for y in range(H) for x in range(W)])
            out = (ctypes.c_uint32 * (W * H))()
            so.f0r_update(inst, seconds, src, out)
            return bytes(out)
        return self.instance(values, update)

    def get(self, name, values=None):
        """A parameter's value: a number, a text, a colour as #rrggbb, a position as (x, y)."""
        i, kind = self.number[name], self.params[self.number[name]][1]

        def read(so, inst):
            raw = (ctypes.c_double * 2)(math.nan)
            so.f0r_get_param_value(inst, raw, i)
            if kind == STRING:
                return (ctypes.cast(raw, ctypes.POINTER(ctypes.c_char_p))[0] or b"").decode()
            if kind == COLOR:
                return "#%02x%02x%02x" % tuple(round(v * 255) for v in ctypes.cast(raw, ctypes.POINTER(ctypes.c_float))[:3])
            return tuple(raw) if kind == POSITION else raw[0]
        return self.instance(values or {}, read)


def check_row(f, ranges, row):
    """One panel row against the filter: row = {where, number, name, kind, default, lo, hi, values, shown}."""
    where, name, kind = row["where"], row["name"], row["kind"]
    i = int(row["number"]) if re.fullmatch(r"\d+", row["number"]) else -1
    if not expect(0 <= i < len(f.params), "%s: %s is %r, not a frei0r parameter number" % (where, name, row["number"])):
        return
    wanted = {"double": DOUBLE, "seed": DOUBLE, "curve": DOUBLE, "list": STRING, "fixed": STRING, "color": COLOR, "bool": BOOL}
    if not expect(f.params[i] == (name, wanted.get(kind)), "%s: parameter %d is %r (of type %d) in the filter, %r (%s) "
                  "here" % (where, i, f.params[i][0], f.params[i][1], name, kind)):
        return
    lo, hi, default = row.get("lo"), row.get("hi"), row.get("default")
    if kind in ("double", "seed", "curve"):
        vmin, vmax = ranges.get(name, (lo, hi))
        # The listed range is rounded to the control's precision.
        expect(vmin - 0.0005 <= lo < hi <= vmax + 0.0005, "%s: %s's span %s..%s is empty or beyond what the control "
               "accepts, %s..%s" % (where, name, lo, hi, vmin, vmax))
    if kind in ("double", "seed") and name in ("Light X", "Light Y"):
        want = f.get("Light Position")[name == "Light Y"]
        expect(default == want and (lo, hi) == (0, 1), "%s: %s is %s in 0..1, not a fraction of the frame defaulting to "
               "Light Position's %s" % (where, name, default, want))
    elif kind in ("double", "seed"):
        want = f.get(name, {"Units": "native"})
        fixed = lambda v: math.floor(v * 65536 + 0.5)
        expect(fixed(default) == fixed(want), "%s: %s defaults to %s, the control to %s" % (where, name, default, want))
        expect(lo <= default <= hi, "%s: %s's default %s lies outside its span" % (where, name, default))
    if name == "Mix" and kind != "curve":
        expect((lo, hi) == (0, 1), "%s: Mix's span %s..%s is not the filter's 0..1" % (where, lo, hi))
    if kind == "seed":
        # Whole numbers from 0 up to the filter's last seed (the next one up renders as it).
        frame = lambda s: f.render({"Units": "native", "Drip Rate": 4.0, "Seed": float(s)})
        expect(lo == 0 and hi == int(hi) and frame(hi) != frame(hi - 1) and frame(hi + 1) == frame(hi),
               "%s: Seed's span %s..%s is not the filter's seeds" % (where, lo, hi))
    if kind == "list":
        values, shown = row["values"], row.get("shown") or row["values"]
        expect(len(values) == len(shown), "%s: %s lists %d values and %d names" % (where, name, len(values), len(shown)))
        expect(default is None or default in values, "%s: %s's default is not in its list" % (where, name))
        for n, (v, text) in enumerate(zip(values, shown), 1):
            if name == "Frame Rate":
                # A rate the filter does not take renders as its fallback, 30; what the list shows is the rate it gives.
                taken = (f.render({name: v}) == f.render({name: "not a rate"})) == (v == "30")
                taken = taken and f.render({name: v}, 2.0) == f.render({name: text}, 2.0)
            else:  # a choice's text and its number give the same frame
                taken = f.render({"Drip Rate": 0.8, name: v}) == f.render({"Drip Rate": 0.8, name: str(n)})
            expect(taken, "%s: the filter does not take %s %r (shown as %r)" % (where, name, v, text))
        if name != "Frame Rate" and default is not None:
            expect(f.get(name) == default, "%s: %s defaults to %r, the filter to %r" % (where, name, default, f.get(name)))
    if kind in ("color", "bool"):
        want = f.get(name)
        expect(want == (default.lower() if kind == "color" else float(default)),
               "%s: %s defaults to %s, the filter to %s" % (where, name, default, want))
    if kind == "fixed":
        expect(row["value"] == FIXED.get(name), "%s: %s is not fixed at %r" % (where, name, FIXED.get(name)))


def kdenlive_rows(path):
    where = os.path.basename(path)
    root = ET.parse(path).getroot()
    expect(root.get("tag") == root.get("id") == "frei0r.pluvane", "%s: not the effect frei0r.pluvane" % where)
    # A number, or a fraction of the frame written %width*F or %height*F (F), or the frame's size (1).
    number = lambda text: float(re.sub(r"^%(width|height)\*?", "", text) or 1)
    rows = []
    for p in root.findall("parameter"):
        kind, row = p.get("type"), {"where": where, "number": p.get("name"), "name": p.findtext("name")}
        factor = float(p.get("factor", "1"))
        if kind in ("animated", "constant"):
            # The default is the value MLT gets; the span is shown, the value times "factor". A plain slider
            # ("constant", not keyframed) is Seed alone, a whole number.
            expect(kind == "animated" or (row["name"] == "Seed" and p.get("decimals", "0") == "0" and factor == 1),
                   "%s: %s is a plain slider; only Seed, a whole number, is" % (where, row["name"]))
            row.update(kind="double" if kind == "animated" else "seed", default=number(p.get("default")),
                       lo=number(p.get("min")) / factor, hi=number(p.get("max")) / factor)
        elif kind == "list":
            row.update(kind="list", default=p.get("default"), values=p.get("paramlist").split(";"),
                       shown=p.findtext("paramlistdisplay").split(","))
        elif kind == "fixed":
            # A value: Kdenlive 22.12 reads a fixed default as a number ("seconds" is saved as 0).
            expect(p.get("default") is None, "%s: %s has a default besides its value" % (where, row["name"]))
            row.update(kind="fixed", value=p.get("value"))
        else:
            row.update(kind=kind, default=p.get("default"))
        rows.append(row)
    return rows


def shotcut_rows(folder):
    meta = open(os.path.join(folder, "meta.qml"), encoding="utf-8").read()
    ui = open(os.path.join(folder, "ui.qml"), encoding="utf-8").read()
    expect("mlt_service: 'frei0r.pluvane'" in meta and "qml: 'ui.qml'" in meta, "meta.qml: not frei0r.pluvane with ui.qml")
    rows = []
    # The panel's numbers; the filter's value is the shown one times scale.
    number = lambda text: float(re.sub(r"^profile\.(width|height)( \*)?", "", text.strip()) or 1)
    for n, name, lo, hi, value, scale in re.findall(r"\{property: '(\d+)', name: qsTr\('([^']*)'\), minimum: ([^,]+), "
                                                    r"maximum: ([^,]+), value: ([^,]+),.*scale: ([^}]+)\}", ui):
        k = float(scale)
        rows.append({"where": "ui.qml", "number": n, "name": name, "kind": "double", "default": number(value) * k,
                     "lo": number(lo) * k, "hi": number(hi) * k})
    for n, name, lo, hi, value in re.findall(r"seedControl: \(\{property: '(\d+)', name: qsTr\('([^']*)'\), "
                                             r"minimum: ([^,]+), maximum: ([^,]+), value: ([^}]+)\}\)", ui):
        rows.append({"where": "ui.qml", "number": n, "name": name, "kind": "seed", "default": float(value),
                     "lo": float(lo), "hi": float(hi)})
    for prop, name in (("usingChoices", "Using"), ("lightTypes", "Light Type")):
        values = re.findall(r"'([^']*)'", re.search(r"property var %s: \[([^\]]*)\]" % prop, ui).group(1))
        rows.append({"where": "ui.qml", "number": "8" if name == "Using" else "11", "name": name, "kind": "list",
                     "default": None, "values": values})
    for n, value in re.findall(r"filter\.set\('(0|21)', '([^']*)'\)", ui):
        rows.append({"where": "ui.qml", "number": n, "name": {"0": "Time Unit", "21": "Units"}[n], "kind": "fixed",
                     "value": value})
    expect(sum(r["kind"] == "fixed" for r in rows) == 2, "ui.qml: does not set Time Unit and Units")
    doubles = {r["number"] for r in rows if r["kind"] == "double"}
    expect(doubles, "ui.qml: no numbers found")
    # Shotcut's keyframes panel: the panel's numbers, with spans the controls accept.
    simple = set(re.findall(r"'(\d+)'", re.search(r"simpleProperties: \[([^\]]*)\]", meta).group(1)))
    expect(simple == doubles, "meta.qml: keyframable properties %s, the panel's %s" % (sorted(simple), sorted(doubles)))
    curves = re.findall(r"Parameter \{ name: qsTr\('([^']*)'\); property: '(\d+)'; isCurve: true; "
                        r"minimum: ([^;]+); maximum: ([^ ]+) \}", meta)
    expect({n for _, n, _, _ in curves} == doubles, "meta.qml: the keyframes panel's parameters are not the panel's")
    for name, n, lo, hi in curves:
        rows.append({"where": "meta.qml", "number": n, "name": name, "kind": "curve", "lo": float(lo), "hi": float(hi)})
    return rows


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    f, editors = Filter(sys.argv[1]), sys.argv[2]
    program = sys.argv[3] if len(sys.argv) > 3 and os.path.exists(sys.argv[3]) else None
    # The sliders' valid ranges by control name, from `pluvane controls`; angles accept any value.
    ranges = {}
    for name, c in (generate.controls(program) if program else {}).items():
        m = re.match(r"(-?[\d.]+) to (-?[\d.]+)", c["valid range"])
        if c["type"] == "slider" and m:
            ranges[name] = (float(m.group(1)), float(m.group(2)))
    description = os.path.join(editors, "kdenlive", "frei0r_pluvane.xml")
    shotcut = os.path.join(editors, "shotcut", "pluvane")
    if program:
        out = run([sys.executable, os.path.join(editors, "kdenlive", "generate.py"), program, sys.argv[1]], 120)
        expect(out is None or out == open(description, encoding="utf-8").read(),
               "frei0r_pluvane.xml is not what editors/kdenlive/generate.py writes now (run it again)")
    else:
        print("pluvane program not given: spans checked against the defaults only")
    kdenlive = kdenlive_rows(description)
    missing = {n for n, kind in f.params if kind != POSITION} - {r["name"] for r in kdenlive}
    expect(not missing, "frei0r_pluvane.xml: no parameter for %s" % ", ".join(sorted(missing)))
    for row in kdenlive + shotcut_rows(shotcut):
        check_row(f, ranges, row)
    # The frame rate Shotcut's panel gives: the profile's rate as a script prints it.
    for fps, exact in (("29.97002997002997", "30000/1001"), ("23.976023976023978", "24000/1001"), ("25", "25")):
        expect(f.render({"Frame Rate": fps}, 2.0) == f.render({"Frame Rate": exact}, 2.0),
               "the filter takes the profile's rate %s as other than %s" % (fps, exact))
    if not shutil.which("qmllint"):
        print("qmllint not installed (Debian: qtdeclarative5-dev-tools): QML syntax not checked")
    for name in ("meta.qml", "ui.qml") if shutil.which("qmllint") else ():
        run(["qmllint", os.path.join(shotcut, name)], 120)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
