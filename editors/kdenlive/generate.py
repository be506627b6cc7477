#!/usr/bin/env python3
"""Writes Kdenlive's description of the pluvane frei0r filter (frei0r_pluvane.xml).

The numbers come from the effect itself: names, defaults, slider spans and
choices from `pluvane controls`, the frei0r parameter numbers from the filter.
Only what a panel adds is written here: units shown, decimals, the span of the
angles (which have none of their own) and the order on screen. "Seed" and
"Mix" are the host's own, not the effect's: their spans are those of the
filter's parameters (tests/editors/check_panels.py checks them against it).

usage: generate.py PLUVANE_PROGRAM FILTER.so > editors/kdenlive/frei0r_pluvane.xml
"""
import ctypes
import os
import re
import subprocess
import sys
from xml.sax.saxutils import quoteattr, escape

# Control name: (suffix, decimals, span for angles)
PRESENTATION = {
    "Drip Rate": ("", 1, None),
    "Longevity (sec)": ("s", 2, None),
    "Rippling": ("°", 1, (0, 720)),
    "Displacement": ("", 1, None),
    "Ripple Height": ("%", 1, None),
    "Spreading": ("%", 1, None),
    "Light Intensity": ("%", 1, None),
    "Light Height": ("", 1, None),
    "Light Direction": ("°", 1, (-180, 180)),
    "Ambient": ("%", 1, None),
    "Diffuse": ("%", 1, None),
    "Specular": ("%", 1, None),
    "Roughness": ("", 3, None),
    "Metal": ("%", 1, None),
}
COMMENTS = {
    "Frame Rate": "Project: the project's own rate. Ripples step evenly only at the clip's own rate.",
    "Drip Rate": "Drops per frame.",
    "Longevity (sec)": "Seconds a ripple lasts.",
    "Light X": "Point light position, percent of the frame's width from the left edge.",
    "Light Y": "Point light position, percent of the frame's height from the top edge.",
    "Seed": "Another rain with the same settings; 0 is the rain without a seed.",
    "Mix": "0 %: the clip as it is; 100 %: the effect's result.",
}
# The host's own controls, beside the effect's: (lowest, highest).
HOST_SPANS = {"Seed": (0, 63), "Mix": (0, 1)}
# The common rates as exact rationals, and as the list shows them; first the
# project's own, which the filter reads from the time MLT passes (Kdenlive's
# descriptions have no name for the profile's rate).
RATES = [("project", "Project"), ("24000/1001", "23.976"), ("24", "24"), ("25", "25"), ("30000/1001", "29.97"), ("30", "30"), ("50", "50"),
         ("60000/1001", "59.94"), ("60", "60")]


class ParamInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int), ("explanation", ctypes.c_char_p)]


class PluginInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("author", ctypes.c_char_p), ("plugin_type", ctypes.c_int),
                ("color_model", ctypes.c_int), ("frei0r_version", ctypes.c_int), ("major_version", ctypes.c_int),
                ("minor_version", ctypes.c_int), ("num_params", ctypes.c_int), ("explanation", ctypes.c_char_p)]


def filter_params(path):
    """The filter's parameter numbers by name, and its explanation."""
    so = ctypes.CDLL(path, mode=os.RTLD_LOCAL)
    info = PluginInfo()
    so.f0r_get_plugin_info(ctypes.byref(info))
    numbers = {}
    for i in range(info.num_params):
        p = ParamInfo()
        so.f0r_get_param_info(ctypes.byref(p), i)
        numbers[p.name.decode()] = i
    return numbers, info.explanation.decode()


def filter_default(path, index):
    """A double parameter's default in the controls' own units ("Units" native), read back from the filter."""
    so = ctypes.CDLL(path, mode=os.RTLD_LOCAL)
    so.f0r_construct.restype = ctypes.c_void_p
    so.f0r_construct.argtypes = [ctypes.c_uint, ctypes.c_uint]
    so.f0r_set_param_value.argtypes = so.f0r_get_param_value.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
    so.f0r_destruct.argtypes = [ctypes.c_void_p]
    so.f0r_init()
    inst = so.f0r_construct(8, 8)
    numbers, _ = filter_params(path)
    native = ctypes.c_char_p(b"native")
    so.f0r_set_param_value(inst, ctypes.byref(native), numbers["Units"])
    value = ctypes.c_double(float("nan"))
    so.f0r_get_param_value(inst, ctypes.byref(value), index)
    so.f0r_destruct(inst)
    return value.value


def controls(program):
    """`pluvane controls` as dictionaries by name."""
    out = subprocess.run([program, "controls"], check=True, capture_output=True, text=True, timeout=120).stdout
    lines = out.splitlines()
    heads = ["name", "type", "valid range", "slider range", "default", "state"]
    cols = [lines[0].index(h) for h in heads]
    table = {}
    for line in lines[1:]:
        row = {h: line[cols[k]:cols[k + 1] if k + 1 < len(cols) else None].strip() for k, h in enumerate(heads)}
        table[row["name"]] = row
    return table


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    table = controls(sys.argv[1])
    number, explanation = filter_params(sys.argv[2])
    out = []
    w = out.append

    def param(kind, name, attrs, inner=""):
        a = "".join(" %s=%s" % (k, quoteattr(str(v))) for k, v in attrs)
        w('    <parameter type="%s" name="%d"%s>\n%s        <name>%s</name>\n' % (kind, number[name], a, inner, escape(name)))
        if name in COMMENTS:
            w("        <comment>%s</comment>\n" % escape(COMMENTS[name]))
        w("    </parameter>\n")

    def number_param(name):
        c = table[name]
        suffix, decimals, span = PRESENTATION[name]
        lo, hi = span or [float(v) for v in re.match(r"(-?[\d.]+) to (-?[\d.]+)", c["slider range"]).groups()]
        attrs = [("default", c["default"]), ("min", fmt(lo)), ("max", fmt(hi)), ("decimals", decimals)]
        if suffix:
            attrs.append(("suffix", suffix))
        param("animated", name, attrs)

    def list_param(name):
        choices = [s.strip() for s in table[name]["valid range"].split("|")]
        param("list", name, [("default", table[name]["default"]), ("paramlist", ";".join(choices))],
              "        <paramlistdisplay>%s</paramlistdisplay>\n" % escape(",".join(choices)))

    def light_axis(name, axis):
        # The filter takes a fraction of the frame; the panel shows percent
        # (factor 100). Kdenlive 22.12 does not work out "%width*0.25" for an
        # animated number (it becomes 0), so the frame's size is not used.
        x, y = re.match(r"(-?[\d.]+)%,(-?[\d.]+)% of the layer", table["Light Position"]["default"]).groups()
        param("animated", name, [("default", fmt(float(x if axis == "width" else y) / 100)), ("min", "0"), ("max", "100"),
                                 ("factor", "100"), ("decimals", 1), ("suffix", "%")])

    w('<?xml version="1.0"?>\n<!DOCTYPE kpartgui>\n')
    w("<!-- Kdenlive's panel for the pluvane frei0r filter, written by editors/kdenlive/generate.py\n"
      "     from `pluvane controls` and the filter: do not edit by hand. Parameters are named by\n"
      "     their frei0r number (MLT looks a parameter up by number before its name). \"Units\" is\n"
      "     fixed at \"native\": every number is the control's own value, so Kdenlive's keyframes\n"
      "     interpolate in the controls' units. Fixed strings are values, not defaults: Kdenlive\n"
      "     22.12 reads a default as a number and saves \"seconds\" as 0. The point light is placed\n"
      "     by \"Light X\" and \"Light Y\", fractions of the frame shown as percent: MLT passes\n"
      "     no frei0r positions. -->\n")
    w('<effect tag="frei0r.pluvane" id="frei0r.pluvane" type="video">\n')
    # Kdenlive's effect search matches the name alone.
    w("    <name>Pluvane: rain ripples</name>\n    <description>%s</description>\n    <author>pluvane</author>\n" % escape(explanation))
    param("fixed", "Time Unit", [("value", "seconds")])
    param("fixed", "Units", [("value", "native")])
    param("list", "Frame Rate", [("default", "project"), ("paramlist", ";".join(r for r, _ in RATES))],
          "        <paramlistdisplay>%s</paramlistdisplay>\n" % ",".join(s for _, s in RATES))
    for name in ("Drip Rate", "Longevity (sec)", "Rippling", "Displacement", "Ripple Height", "Spreading"):
        number_param(name)
    list_param("Using")
    number_param("Light Intensity")
    c = [int(v) for v in table["Light Color"]["default"].split(",")]
    param("color", "Light Color", [("default", "#%02x%02x%02x" % tuple(c))])
    list_param("Light Type")
    number_param("Light Height")
    light_axis("Light X", "width")
    light_axis("Light Y", "height")
    for name in ("Light Direction", "Ambient", "Diffuse", "Specular", "Roughness", "Metal"):
        number_param(name)
    param("bool", "Draft", [("default", "0")])
    # A whole number, not keyframed: Kdenlive's plain slider ("constant", no
    # decimals), saved as a number. Mix is a percentage of the filter's
    # fraction, keyframable like the effect's numbers.
    lo, hi = HOST_SPANS["Seed"]
    param("constant", "Seed", [("default", fmt(filter_default(sys.argv[2], number["Seed"]))), ("min", lo), ("max", hi)])
    lo, hi = HOST_SPANS["Mix"]
    param("animated", "Mix", [("default", fmt(filter_default(sys.argv[2], number["Mix"]))), ("min", fmt(lo * 100.0)),
                              ("max", fmt(hi * 100.0)), ("factor", "100"), ("decimals", 1), ("suffix", "%")])
    w("</effect>\n")
    sys.stdout.write("".join(out))
    return 0


def fmt(v):
    return ("%g" % v) if isinstance(v, float) else str(v)


if __name__ == "__main__":
    sys.exit(main())
