#!/usr/bin/python3
"""The library's Ebel tube (tube key "model": "ebel") against PyMca's implementation of the same
papers (PyMca5.PyMcaPhysics.xrf.XRayTubeEbel, run as a peer, Debian's python3-pymca5): lines
over continuum and the continuum's shape, per anode, voltage and filter.

usage: /usr/bin/python3 validation/tube-ebel.py [BUILD_DIR]
"""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import xraylib
from PyMca5.PyMcaPhysics.xrf import XRayTubeEbel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
STEP = 0.2
TAKEOFF = 22.0
WINDOW_UM = 100.0


def library(anode, kv, al_um, tmp):
    cfg = {"detector": {"Z": 14, "thickness": 450, "windowZ": 4, "windowThickness": 12.5},
           "tube": {"anodeZ": xraylib.SymbolToAtomicNumber(anode), "anodeThickness": 100, "windowZ": 4,
                    "windowThickness": WINDOW_UM, "takeoffAngle": TAKEOFF, "model": "ebel"},
           "beams": [{"tubeKeV": kv, "allLines": []}]}
    if al_um:
        cfg["beams"][0]["filters"] = [{"compound": "Al", "thickness": al_um, "density": 2.7}]
    path = os.path.join(tmp, "tube.json")
    json.dump(cfg, open(path, "w"))
    out = subprocess.run([os.path.join(BUILD, "tools", "calyx"), "tube", path, "--step", str(STEP)],
                         env=dict(os.environ, LD_LIBRARY_PATH=BUILD), capture_output=True, text=True, check=True)
    energies, values, lines = [], [], []
    part = None
    for row in out.stdout.splitlines():
        if row.startswith("continuum"):
            part = "c"
        elif row.startswith("characteristic"):
            part = "l"
        fields = row.split()
        try:
            if part == "c" and len(fields) == 2:
                energies.append(float(fields[0]))
                values.append(float(fields[1]))
            elif part == "l" and len(fields) == 4:
                lines.append((fields[1], float(fields[2]), float(fields[3])))
        except ValueError:
            pass
    return np.array(energies), np.array(values), lines


def pymca(anode, kv, al_um):
    filters = [["Al", 2.7, al_um * 1e-4]] if al_um else None
    e, w, f = XRayTubeEbel.generateLists([anode, xraylib.ElementDensity(xraylib.SymbolToAtomicNumber(anode)), 0.1],
                                         kv, window=["Be", 1.848, WINDOW_UM * 1e-4], alphae=90.0, alphax=TAKEOFF,
                                         filterlist=filters)
    e, w, f = np.array(e), np.array(w), np.array(f)
    return e[f == 0], w[f == 0], e[f == 1], w[f == 1]


def band(e, v, lo, hi):
    return v[(e >= lo) & (e < hi)].sum()


cases = [("Rh", 40, 100), ("Rh", 40, 0), ("Rh", 15, 0), ("W", 30, 0), ("Mo", 30, 0), ("Cr", 20, 0), ("Ag", 50, 0)]
print("per case: lines / continuum (> 1 keV), library vs PyMca; continuum bands / continuum, ratio library : PyMca")
with tempfile.TemporaryDirectory() as tmp:
    for anode, kv, al in cases:
        le, lv, llines = library(anode, kv, al, tmp)
        pe, pv, ple, plv = pymca(anode, kv, al)
        lc, pc = band(le, lv, 1.0, kv + 1), band(pe, pv, 1.0, kv + 1)
        k_edge = xraylib.EdgeEnergy(xraylib.SymbolToAtomicNumber(anode), xraylib.K_SHELL)
        lib_k = sum(v for n, e, v in llines if e > k_edge * 0.7) / lc
        lib_l = sum(v for n, e, v in llines if e <= k_edge * 0.7) / lc
        pm_k = plv[ple > k_edge * 0.7].sum() / pc
        pm_l = plv[ple <= k_edge * 0.7].sum() / pc
        bands = []
        for lo in (2, 5, 10, 15, 20, 30, 39):
            if lo + 1 > kv:
                continue
            bands.append(f"{lo}-{lo + 1} keV {band(le, lv, lo, lo + 1) / lc / (band(pe, pv, lo, lo + 1) / pc):.3f}")
        print(f"{anode} {kv} kV{' Al %d um' % al if al else ''}: K lines {lib_k:.4f} vs {pm_k:.4f}, "
              f"L lines {lib_l:.4f} vs {pm_l:.4f}; " + ", ".join(bands))
