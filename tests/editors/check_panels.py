#!/usr/bin/env python3
"""The editors' panels agree with the frei0r filter they drive.

Kdenlive's description (read with a real XML parser) and Shotcut's QML files
against the filter loaded through dlopen, as MLT loads it:
  - every parameter number exists and carries the filter's own name and kind;
  - every default is the control's default once the filter has it in 16.16
    fixed point (read back from the filter in native units);
  - every range lies within what the control accepts (the controls' valid
    ranges as `pluvane controls` lists them, when the program is built);
  - every list value is one the filter accepts;
  - "Units" is "native", so that keyframes interpolate in the controls' units;
  - "Seed" is a whole number spanning the filter's seeds, "Mix" a fraction 0..1;
  - Kdenlive's own saved projects (data/) hold every parameter in its type's form
    (a parameter appended to the filter after a project was saved may be absent);
  - no QML function or property takes the name of a Qt item's member;
and the QML passes qmllint when Debian's Qt tools are installed.

usage: check_panels.py FILTER.so EDITORS_DIR [PLUVANE_PROGRAM]
"""
import ctypes
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import xml.etree.ElementTree as ET

F0R_PARAM_BOOL, F0R_PARAM_DOUBLE, F0R_PARAM_COLOR, F0R_PARAM_POSITION, F0R_PARAM_STRING = range(5)
W, H = 64, 36
TIME_LIMIT = 120  # seconds for any program this check starts

failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


class PluginInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("author", ctypes.c_char_p), ("plugin_type", ctypes.c_int),
                ("color_model", ctypes.c_int), ("frei0r_version", ctypes.c_int), ("major_version", ctypes.c_int),
                ("minor_version", ctypes.c_int), ("num_params", ctypes.c_int), ("explanation", ctypes.c_char_p)]


class ParamInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int), ("explanation", ctypes.c_char_p)]


class Color(ctypes.Structure):
    _fields_ = [("r", ctypes.c_float), ("g", ctypes.c_float), ("b", ctypes.c_float)]


class Position(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


class Filter:
    def __init__(self, path):
        self.so = ctypes.CDLL(path, mode=os.RTLD_LOCAL)
        self.so.f0r_construct.restype = ctypes.c_void_p
        self.so.f0r_construct.argtypes = [ctypes.c_uint, ctypes.c_uint]
        for f in ("f0r_destruct",):
            getattr(self.so, f).argtypes = [ctypes.c_void_p]
        for f in ("f0r_set_param_value", "f0r_get_param_value"):
            getattr(self.so, f).argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        self.so.f0r_update.argtypes = [ctypes.c_void_p, ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p]
        self.so.f0r_init()
        info = PluginInfo()
        self.so.f0r_get_plugin_info(ctypes.byref(info))
        self.params = []  # (name, type) by number
        for i in range(info.num_params):
            p = ParamInfo()
            self.so.f0r_get_param_info(ctypes.byref(p), i)
            self.params.append((p.name.decode(), p.type))

    def instance(self):
        return Instance(self)


class Instance:
    def __init__(self, f):
        self.f = f
        self.inst = f.so.f0r_construct(W, H)

    def __del__(self):
        self.f.so.f0r_destruct(self.inst)

    def set_double(self, i, v):
        d = ctypes.c_double(v)
        self.f.so.f0r_set_param_value(self.inst, ctypes.byref(d), i)
        return self

    def set_text(self, i, text):
        self._keep = ctypes.c_char_p(text.encode())
        self.f.so.f0r_set_param_value(self.inst, ctypes.byref(self._keep), i)
        return self

    def get_double(self, i):
        d = ctypes.c_double(float("nan"))
        self.f.so.f0r_get_param_value(self.inst, ctypes.byref(d), i)
        return d.value

    def get_color(self, i):
        c = Color()
        self.f.so.f0r_get_param_value(self.inst, ctypes.byref(c), i)
        return c

    def get_position(self, i):
        p = Position()
        self.f.so.f0r_get_param_value(self.inst, ctypes.byref(p), i)
        return p

    def get_text(self, i):
        s = ctypes.c_char_p()
        self.f.so.f0r_get_param_value(self.inst, ctypes.byref(s), i)
        return s.value.decode() if s.value else ""

    def render(self, seconds):
        src = (ctypes.c_uint32 * (W * H))(*[(x * 4) | ((y * 7) << 8) | (((x * y) & 255) << 16) | (255 << 24)
                                            for y in range(H) for x in range(W)])
        out = (ctypes.c_uint32 * (W * H))()
        self.f.so.f0r_update(self.inst, seconds, src, out)
        return bytes(out)


def fixed(v):
    """A value as the host stores it: 16.16 fixed point, rounded to nearest."""
    return math.floor(v * 65536 + 0.5)


def run(command):
    """A program under the time limit, in a process group of its own that goes whole when it overruns."""
    p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        return None, "stopped at the time limit"
    return p.returncode, out


def valid_ranges(program):
    """The sliders' valid ranges by control name, from `pluvane controls`; angles accept any value."""
    if not program or not os.path.exists(program):
        return None
    rc, out = run([program, "controls"])
    if rc != 0:
        fail("pluvane controls: %s" % out)
        return None
    lines = out.splitlines()
    header = lines[0]
    cols = [header.index(h) for h in ("name", "type", "valid range", "slider range", "default", "state")]
    ranges = {}
    for line in lines[1:]:
        cell = lambda k: line[cols[k]:cols[k + 1] if k + 1 < len(cols) else None].strip()
        name, kind, valid = cell(0), cell(1), cell(2)
        m = re.match(r"(-?[\d.]+) to (-?[\d.]+)", valid)
        if kind == "slider" and m:
            ranges[name] = (float(m.group(1)), float(m.group(2)))
    return ranges


class Checker:
    def __init__(self, f, ranges):
        self.f = f
        self.ranges = ranges
        self.number = {name: i for i, (name, _) in enumerate(f.params)}
        self.units = self.number.get("Units")
        if self.units is None:
            fail("the filter has no Units parameter")

    def param(self, where, number, name):
        """The frei0r parameter `number` must exist and be named `name`."""
        try:
            i = int(number)
        except ValueError:
            fail("%s: parameter %r is not a frei0r number (MLT looks parameters up by number)" % (where, number))
            return None
        if not 0 <= i < len(self.f.params):
            fail("%s: no frei0r parameter %d" % (where, i))
            return None
        if self.f.params[i][0] != name:
            fail("%s: parameter %d is %r in the filter, %r here" % (where, i, self.f.params[i][0], name))
        return i

    def native_default(self, i):
        return self.f.instance().set_text(self.units, "native").get_double(i)

    def double(self, where, i, default, lo, hi):
        """A number in the control's units: default and span."""
        name, kind = self.f.params[i]
        if kind != F0R_PARAM_DOUBLE:
            fail("%s: %s is not a double in the filter" % (where, name))
            return
        if name in ("Light X", "Light Y"):
            return self.fraction(where, i, default, lo, hi)
        want = self.native_default(i)
        if fixed(default) != fixed(want):
            fail("%s: %s defaults to %s, the control to %s" % (where, name, default, want))
        if not lo <= default <= hi:
            fail("%s: %s's default %s lies outside its range %s..%s" % (where, name, default, lo, hi))
        if self.ranges is not None and name in self.ranges:
            vmin, vmax = self.ranges[name]
            # The listed range is rounded to the control's precision.
            if lo < vmin - 0.0005 or hi > vmax + 0.0005:
                fail("%s: %s's range %s..%s exceeds what the control accepts, %s..%s" % (where, name, lo, hi, vmin, vmax))
        if lo >= hi:
            fail("%s: %s's range %s..%s is empty" % (where, name, lo, hi))

    def seed(self, where, i, default, lo, hi):
        """Seed: whole numbers from 0 up to the filter's last seed (the next one up renders as it)."""
        self.double(where, i, default, lo, hi)
        frame = lambda s: self.f.instance().set_text(self.units, "native").set_double(
            self.number["Drip Rate"], 4).set_double(i, s).render(1.0)
        if lo != 0 or hi != int(hi) or frame(hi) == frame(hi - 1) or frame(hi + 1) != frame(hi):
            fail("%s: Seed's span %s..%s is not the filter's seeds" % (where, lo, hi))

    def mix(self, where, i, lo, hi):
        if (lo, hi) != (0, 1):
            fail("%s: Mix's span %s..%s is not the filter's 0..1" % (where, lo, hi))

    def fraction(self, where, i, default, lo, hi):
        """Light X or Light Y: a fraction of the frame's width or height, by default Light Position's."""
        axis = 0 if self.f.params[i][0] == "Light X" else 1
        position = self.f.instance().get_position(self.number["Light Position"])
        want = (position.x, position.y)[axis]
        if default != want:
            fail("%s: %s defaults to %s of the frame, Light Position to %s" % (where, self.f.params[i][0], default, want))
        if lo != 0 or hi != 1:
            fail("%s: %s's range is not the frame (0..%s)" % (where, self.f.params[i][0], hi))

    def choice(self, where, i, values):
        """Every value of a list is one the filter takes as itself."""
        name, kind = self.f.params[i]
        if kind != F0R_PARAM_STRING:
            fail("%s: %s is not a string in the filter" % (where, name))
            return
        if name == "Frame Rate":
            for v in values:
                a = self.f.instance().set_text(i, v).render(1.0)
                b = self.f.instance().set_text(i, "not a rate").render(1.0)  # the fallback, 30
                if (a == b) != (v == "30"):
                    fail("%s: the filter does not take Frame Rate %r" % (where, v))
            return
        for n, v in enumerate(values, 1):
            # A choice's text and its number give the same frame.
            scene = lambda x: self.f.instance().set_double(self.number["Drip Rate"], 0.8).set_text(i, x).render(1.0)
            if scene(v) != scene(str(n)):
                fail("%s: the filter does not take %s %r" % (where, name, v))


def check_kdenlive(c, path):
    where = os.path.basename(path)
    root = ET.parse(path).getroot()
    if root.tag != "effect" or root.get("tag") != "frei0r.pluvane" or root.get("id") != "frei0r.pluvane":
        fail("%s: not the effect frei0r.pluvane" % where)
    seen = set()
    for p in root.findall("parameter"):
        name = p.findtext("name")
        i = c.param(where, p.get("name"), name)
        if i is None:
            continue
        seen.add(i)
        kind, fname = p.get("type"), c.f.params[i][0]
        ftype = c.f.params[i][1]
        if kind == "animated":
            # The default is the value MLT gets; the span is shown, the value times "factor".
            factor = float(p.get("factor", "1"))
            c.double(where, i, kdenlive_number(p.get("default")), kdenlive_number(p.get("min")) / factor,
                     kdenlive_number(p.get("max")) / factor)
            if fname == "Mix":
                c.mix(where, i, kdenlive_number(p.get("min")) / factor, kdenlive_number(p.get("max")) / factor)
        elif kind == "constant":
            # A plain slider, not keyframed: Seed alone, a whole number (no decimals).
            if fname != "Seed" or p.get("decimals", "0") != "0" or p.get("factor", "1") != "1":
                fail("%s: %s is a plain slider; only Seed, a whole number, is" % (where, fname))
            else:
                c.seed(where, i, float(p.get("default")), float(p.get("min")), float(p.get("max")))
        elif kind == "list":
            values = p.get("paramlist").split(";")
            shown = p.findtext("paramlistdisplay").split(",")
            if len(values) != len(shown):
                fail("%s: %s lists %d values and %d names" % (where, fname, len(values), len(shown)))
            if p.get("default") not in values:
                fail("%s: %s's default is not in its list" % (where, fname))
            c.choice(where, i, values)
            if fname == "Frame Rate":
                # What the list shows is the rate it gives: "23.976" is 24000/1001.
                for v, text in zip(values, shown):
                    if c.f.instance().set_text(i, v).render(2.0) != c.f.instance().set_text(i, text).render(2.0):
                        fail("%s: Frame Rate %r is shown as %r, another rate" % (where, v, text))
            if fname != "Frame Rate" and c.f.instance().get_text(i) != p.get("default"):
                fail("%s: %s defaults to %r, the filter to %r" % (where, fname, p.get("default"), c.f.instance().get_text(i)))
        elif kind == "color":
            col = c.f.instance().get_color(i)
            want = "#%02x%02x%02x" % tuple(round(v * 255) for v in (col.r, col.g, col.b))
            if ftype != F0R_PARAM_COLOR or p.get("default").lower() != want:
                fail("%s: %s defaults to %s, the control to %s" % (where, fname, p.get("default"), want))
        elif kind == "bool":
            if ftype != F0R_PARAM_BOOL or float(p.get("default")) != c.f.instance().get_double(i):
                fail("%s: %s is not the filter's bool with its default" % (where, fname))
        elif kind == "fixed":
            # A value: Kdenlive 22.12 reads a fixed default as a number ("seconds" is saved as 0).
            want = {"Time Unit": "seconds", "Units": "native"}.get(fname)
            if p.get("value") != want or p.get("default") is not None:
                fail("%s: %s is not fixed at the value %r" % (where, fname, want))
        else:
            fail("%s: %s has the type %r, which MLT cannot pass" % (where, fname, kind))
    missing = [name for i, (name, kind) in enumerate(c.f.params) if i not in seen and kind != F0R_PARAM_POSITION]
    if missing:
        fail("%s: no parameter for %s" % (where, ", ".join(missing)))


def check_kdenlive_saved(description, data):
    """Kdenlive's own saved projects (tests/editors/data) against the description as
    it is now: each of its parameters saved, in the form Kdenlive 22.12 saves its
    type, and nothing saved that it no longer has. The filter's parameters are
    only ever appended, so one numbered above all a project saved came after
    it (the project renders with its default); a missing one below is a fault."""
    params = {p.get("name"): p for p in ET.parse(description).getroot().findall("parameter")}
    saved_any = False
    for name in sorted(os.listdir(data)):
        if not name.endswith(".kdenlive"):
            continue
        saved_any = True
        for f in ET.parse(os.path.join(data, name)).getroot().iter("filter"):
            props = {p.get("name"): p.text or "" for p in f.findall("property")}
            if props.get("mlt_service") != "frei0r.pluvane":
                continue
            numbered = {k: v for k, v in props.items() if k.isdigit()}
            newest = max(int(k) for k in numbered) if numbered else -1
            for number, p in params.items():
                kind, value = p.get("type"), numbered.get(number)
                where = "%s: parameter %s (%s)" % (name, number, p.findtext("name"))
                if value is None:
                    if int(number) < newest:
                        fail("%s is not saved" % where)
                elif kind == "fixed" and value != p.get("value"):
                    fail("%s saved as %r, the description fixes %r" % (where, value, p.get("value")))
                elif kind == "list" and value not in p.get("paramlist").split(";"):
                    fail("%s saved as %r, not one of its list" % (where, value))
                elif kind == "animated" and not re.fullmatch(r"(\d\d:\d\d:\d\d\.\d{3}[|~]?=-?[\d.]+;?)+", value):
                    fail("%s saved as %r, not keyframes" % (where, value))
                elif kind == "constant" and not re.fullmatch(r"-?\d+(\.\d+)?", value):
                    fail("%s saved as %r, not a number" % (where, value))
            for number in numbered.keys() - params.keys():
                fail("%s: parameter %s saved, which the description no longer has" % (name, number))
    if not saved_any:
        fail("%s holds no saved Kdenlive project" % data)


def kdenlive_number(text):
    """A number, or a fraction of the frame written %width*F or %height*F (F), or the frame's size (1)."""
    m = re.fullmatch(r"%(width|height)(?:\*([\d.]+))?", text)
    return float(m.group(2) or 1) if m else float(text)


def qml_number(text):
    m = re.fullmatch(r"profile\.(width|height)(?: \* ([\d.]+))?", text.strip())
    return float(m.group(2) or 1) if m else float(text)


def check_shotcut(c, folder):
    meta = open(os.path.join(folder, "meta.qml")).read()
    ui = open(os.path.join(folder, "ui.qml")).read()
    if "mlt_service: 'frei0r.pluvane'" not in meta or "qml: 'ui.qml'" not in meta:
        fail("meta.qml: not the filter frei0r.pluvane with ui.qml")
    entry = re.compile(r"\{property: '(\d+)', name: qsTr\('([^']*)'\), minimum: ([^,]+), maximum: ([^,]+), value: ([^,]+),"
                       r".*scale: ([^}]+)\}")
    doubles = entry.findall(ui)
    if not doubles:
        fail("ui.qml: no numbers found")
    for number, name, lo, hi, value, scale in doubles:
        i = c.param("ui.qml", number, name)
        if i is not None:
            k = float(scale)  # the filter's value is the shown one times scale
            c.double("ui.qml", i, qml_number(value) * k, qml_number(lo) * k, qml_number(hi) * k)
    seed = re.search(r"property var seedControl: \(\{property: '(\d+)', name: qsTr\('([^']*)'\), minimum: ([^,]+), "
                     r"maximum: ([^,]+), value: ([^}]+)\}\)", ui)
    if not seed:
        fail("ui.qml: no Seed control found")
    else:
        i = c.param("ui.qml", seed.group(1), seed.group(2))
        if i is not None:
            c.seed("ui.qml", i, float(seed.group(5)), float(seed.group(3)), float(seed.group(4)))
    for number, name, lo, hi, value, scale in doubles:
        if name == "Mix":
            c.mix("ui.qml", c.number["Mix"], qml_number(lo) * float(scale), qml_number(hi) * float(scale))
    wanted = {n for n, *_ in doubles}
    simple = set(re.findall(r"'(\d+)'", re.search(r"simpleProperties: \[([^\]]*)\]", meta).group(1)))
    if simple != wanted:
        fail("meta.qml: keyframable properties %s, the panel's numbers %s" % (sorted(simple), sorted(wanted)))
    curve = re.compile(r"Parameter \{ name: qsTr\('([^']*)'\); property: '(\d+)'; isCurve: true; minimum: ([^;]+); maximum: ([^ ]+) \}")
    curves = curve.findall(meta)
    if {n for _, n, _, _ in curves} != wanted:
        fail("meta.qml: the keyframes panel's parameters are not the panel's numbers")
    for name, number, lo, hi in curves:
        i = c.param("meta.qml", number, name)
        if i is not None and c.ranges is not None and name in c.ranges:
            vmin, vmax = c.ranges[name]
            if float(lo) < vmin - 0.0005 or float(hi) > vmax + 0.0005:
                fail("meta.qml: %s's curve range exceeds what the control accepts" % name)
    for fixed_param, value in (("0", "seconds"), ("21", "native")):
        if "filter.set('%s', '%s')" % (fixed_param, value) not in ui:
            fail("ui.qml: does not set parameter %s to %s" % (fixed_param, value))
    for prop, param in (("usingChoices", "Using"), ("lightTypes", "Light Type")):
        values = re.findall(r"'([^']*)'", re.search(r"property var %s: \[([^\]]*)\]" % prop, ui).group(1))
        c.choice("ui.qml", c.number[param], values)
    # The frame rate the panel gives: the profile's rate as a script prints it.
    for fps, exact in (("29.97002997002997", "30000/1001"), ("23.976023976023978", "24000/1001"), ("25", "25"),
                       ("59.94005994005994", "60000/1001")):
        i = c.number["Frame Rate"]
        if c.f.instance().set_text(i, fps).render(2.0) != c.f.instance().set_text(i, exact).render(2.0):
            fail("the filter takes the profile's rate %s as other than %s" % (fps, exact))


def qt_member_names():
    """The properties, methods and signals of Qt Quick's items, from Qt's own type descriptions."""
    names = {"objectName", "destroyed", "toString", "destroy", "deleteLater"}
    roots = ["/usr/lib/x86_64-linux-gnu/qt5/qml", "/usr/lib/qt5/qml"]
    files = [os.path.join(r, d, "plugins.qmltypes") for r in roots for d in ("QtQuick.2", "QtQuick/Layouts")]
    found = False
    for path in files:
        if not os.path.exists(path):
            continue
        text = open(path, encoding="utf-8").read()
        # QQuickItem and the layouts' classes: every Item and every RowLayout has their members.
        for m in re.finditer(r'Component \{\s*(?:file: "[^"]*"\s*)?name: "(QQuickItem|QQuickLayout|QQuickLinearLayout|QQuickRowLayout)"(.*?)\n    \}',
                             text, re.S):
            found = True
            names.update(re.findall(r'(?:Property|Method|Signal) \{ name: "(\w+)"', m.group(2)))
            names.update(re.findall(r'(?:Property|Method|Signal) \{\s*name: "(\w+)"', m.group(2)))
    return names if found else None


def check_qml_names(folder):
    """No function or property of ours takes the name of a Qt item's member: the
    item's own would be called instead (a slider's update() repaints)."""
    qt = qt_member_names()
    if qt is None:
        print("Qt's type descriptions not installed (Debian: qml-module-qtquick2): QML names not checked")
        return
    for name in ("meta.qml", "ui.qml"):
        text = open(os.path.join(folder, name), encoding="utf-8").read()
        ours = re.findall(r"\bfunction (\w+)\s*\(", text) + re.findall(r"\bproperty \w+ (\w+)", text)
        for n in sorted(set(ours) & qt):
            fail("%s: %r is also a member of Qt's items, which wins inside them" % (name, n))
        # A row's functions called from its children: the check covers the call sites too.
        if re.search(r"\bupdate\(", text):
            fail("%s: calls update(), a Qt item's repaint" % name)


def check_generated(program, filter_path, editors):
    """The committed description is what the generator writes from the effect today."""
    path = os.path.join(editors, "kdenlive", "frei0r_pluvane.xml")
    rc, out = run([sys.executable, os.path.join(editors, "kdenlive", "generate.py"), program, filter_path])
    if rc != 0:
        fail("generate.py: %s" % out)
    elif out != open(path, encoding="utf-8").read():
        fail("frei0r_pluvane.xml is not what editors/kdenlive/generate.py writes now: run it again")


def lint_qml(folder):
    lint = shutil.which("qmllint")
    if not lint:
        print("qmllint not installed (Debian: qtdeclarative5-dev-tools): QML syntax not checked")
        return
    for name in ("meta.qml", "ui.qml"):
        rc, out = run([lint, os.path.join(folder, name)])
        if rc != 0:
            fail("qmllint %s: %s" % (name, out))


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    f = Filter(sys.argv[1])
    editors = sys.argv[2]
    c = Checker(f, valid_ranges(sys.argv[3] if len(sys.argv) > 3 else None))
    if c.ranges is None:
        print("pluvane program not given: ranges checked against the defaults only")
    check_kdenlive(c, os.path.join(editors, "kdenlive", "frei0r_pluvane.xml"))
    check_kdenlive_saved(os.path.join(editors, "kdenlive", "frei0r_pluvane.xml"),
                         os.path.join(os.path.dirname(os.path.abspath(__file__)), "data"))
    if c.ranges is not None:
        check_generated(sys.argv[3], sys.argv[1], editors)
    check_shotcut(c, os.path.join(editors, "shotcut", "pluvane"))
    check_qml_names(os.path.join(editors, "shotcut", "pluvane"))
    lint_qml(os.path.join(editors, "shotcut", "pluvane"))
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
