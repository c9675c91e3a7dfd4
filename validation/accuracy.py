#!/usr/bin/python3
"""Accuracy benchmark against an independent simulated instrument.

The instrument: a Rh side-window tube computed by PyMca's implementation of Ebel's model
(X-Ray Spectrom. 28 (1999) 255; PyMca5's XRayTubeEbel, a peer run from this script that shares no
code or data with the library: its own attenuation data, K-line constant 6e13, no L lines), its
spectrum fed to fisx (an independent fundamental-parameters forward model with its own atomic
data) for the line rates of infinitely thick samples, primary and secondary fluorescence, and a
single-scatter Compton model for the scatter rate the oxide mode uses for oxygen. Noiseless. The
library is calibrated on some samples and quantifies the others, with the default model and with
each opt-in option (quantified by the robust solver, and the default also by the passes); the
median and largest relative errors of the major elements (mass fraction >= 5 %) are printed per
option and sample set.

Needs Debian's python3-fisx, python3-pymca5 and python3-xraylib (scripts/install-deps.sh
python3-fisx python3-pymca5) and the tool built in BUILD_DIR (default build/).
Run: /usr/bin/python3 validation/accuracy.py [BUILD_DIR]
"""
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile

import xraylib
from fisx import Detector, Elements, Material, XRF
from PyMca5.PyMcaPhysics import Elements as PymcaElements
from PyMca5.PyMcaPhysics.xrf import XRayTubeEbel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
CALYX = os.path.join(BUILD, "tools", "calyx")
MAJOR = 0.05

ELEMENTS = Elements()
ELEMENTS.initializeAsPyMca()

# ---- the instrument ------------------------------------------------------------------------
ANODE = "Rh"
TUBE_WINDOW_UM = 100.0       # Be
TUBE_TAKEOFF = 22.0          # degrees, to the anode surface
ELECTRON_INCIDENCE = 90.0
INCIDENCE, TAKEOFF = 60.0, 45.0   # sample geometry, to the sample surface
DETECTOR_UM, DETECTOR_WINDOW_UM = 450.0, 12.5
GRID = 0.05                  # keV, the simulated tube's continuum step


def mu(symbol, energies, kind="total"):
    return ELEMENTS.getMassAttenuationCoefficients(symbol, list(energies))[kind]


def ebel_tube(kv):
    """Continuum (per bin of GRID, at the bins' centres) and K lines of the Rh tube in photons/(s sr mA),
    behind the Be window (the Al filter is left to the caller), from PyMca's implementation of Ebel's
    1999 paper (PyMca5.PyMcaPhysics.xrf.XRayTubeEbel, run as a peer with PyMca's own attenuation data;
    its K-line constant is 6e13, and it has no L lines)."""
    target = [ANODE, PymcaElements.Element[ANODE]["density"], 0.1]
    window = ["Be", 1.848, TUBE_WINDOW_UM * 1e-4]
    energies = [(i + 0.5) * GRID for i in range(int(kv / GRID)) if (i + 0.5) * GRID >= 0.5]
    density = XRayTubeEbel.continuumEbel(target, kv, list(energies), window, alphae=ELECTRON_INCIDENCE,
                                         alphax=TUBE_TAKEOFF)
    weights = [float(d) * GRID for d in density]
    lines = [(float(E), float(v)) for E, v, _ in
             XRayTubeEbel.characteristicEbel(target, kv, window, alphae=ELECTRON_INCIDENCE, alphax=TUBE_TAKEOFF)
             if v > 0.0]
    return energies, weights, lines


# ---- samples -------------------------------------------------------------------------------
def oxides(wt):
    """Element mass fractions from oxide mass %, normalised, with O the balance."""
    out = {}
    for formula, pct in wt.items():
        data = xraylib.CompoundParser(formula)
        for Z, f in zip(data["Elements"], data["massFractions"]):
            s = xraylib.AtomicNumberToSymbol(Z)
            out[s] = out.get(s, 0.0) + f * pct / 100.0
    total = sum(out.values())
    return {k: v / total for k, v in out.items()}


ALLOY_STANDARDS = {
    "SS304": {"Fe": 0.70, "Cr": 0.19, "Ni": 0.09, "Mn": 0.02},
    "SS316": {"Fe": 0.665, "Cr": 0.17, "Ni": 0.12, "Mo": 0.025, "Mn": 0.02},
    "Inconel600": {"Ni": 0.74, "Cr": 0.16, "Fe": 0.08, "Mn": 0.01, "Cu": 0.01},
    "Brass70": {"Cu": 0.70, "Zn": 0.30},
    "CuNi90": {"Cu": 0.88, "Ni": 0.10, "Fe": 0.015, "Mn": 0.005},
    "Iron": {"Fe": 0.99, "Mn": 0.01},
    "Hastelloy": {"Ni": 0.57, "Mo": 0.16, "Cr": 0.16, "Fe": 0.11},
}
ALLOY_UNKNOWNS = {
    "CuNi70": {"Cu": 0.69, "Ni": 0.30, "Fe": 0.007, "Mn": 0.003},
    "Duplex2205": {"Fe": 0.68, "Cr": 0.22, "Ni": 0.055, "Mo": 0.03, "Mn": 0.015},
    "Inconel625": {"Ni": 0.64, "Cr": 0.22, "Mo": 0.09, "Fe": 0.05},
    "Brass60": {"Cu": 0.60, "Zn": 0.38, "Fe": 0.01, "Ni": 0.01},
    "Monel400": {"Ni": 0.66, "Cu": 0.315, "Fe": 0.02, "Mn": 0.005},
    "SS410": {"Fe": 0.865, "Cr": 0.125, "Mn": 0.01},
}
ROCK_STANDARDS = {
    "basalt": oxides({"SiO2": 49.9, "TiO2": 2.3, "Al2O3": 13.5, "Fe2O3": 13.8, "MnO": 0.2, "MgO": 3.6,
                      "CaO": 7.1, "Na2O": 3.2, "K2O": 1.8, "P2O5": 0.35}),
    "granite": oxides({"SiO2": 69.1, "TiO2": 0.48, "Al2O3": 15.4, "Fe2O3": 2.7, "MnO": 0.03, "MgO": 0.75,
                       "CaO": 1.96, "Na2O": 4.1, "K2O": 4.5, "P2O5": 0.14}),
    "diorite": oxides({"SiO2": 57.2, "TiO2": 1.1, "Al2O3": 16.9, "Fe2O3": 7.4, "MnO": 0.1, "MgO": 4.5,
                       "CaO": 6.6, "Na2O": 3.6, "K2O": 1.8, "P2O5": 0.25}),
    "limestone": oxides({"SiO2": 5.0, "Al2O3": 1.0, "Fe2O3": 0.5, "MgO": 2.0, "CaO": 51.0, "K2O": 0.2}),
    "dunite": oxides({"SiO2": 40.0, "Al2O3": 0.5, "Fe2O3": 9.0, "MnO": 0.13, "MgO": 49.0, "CaO": 0.5}),
    "shale": oxides({"SiO2": 60.0, "TiO2": 0.8, "Al2O3": 17.0, "Fe2O3": 6.5, "MgO": 2.5, "CaO": 2.0,
                     "Na2O": 1.2, "K2O": 3.5, "P2O5": 0.15}),
}
ROCK_UNKNOWNS = {
    "andesite": oxides({"SiO2": 59.3, "TiO2": 1.05, "Al2O3": 17.1, "Fe2O3": 6.7, "MnO": 0.1, "MgO": 1.8,
                        "CaO": 5.2, "Na2O": 4.2, "K2O": 2.9, "P2O5": 0.48}),
    "gabbro": oxides({"SiO2": 48.5, "TiO2": 1.2, "Al2O3": 16.0, "Fe2O3": 10.5, "MnO": 0.17, "MgO": 8.0,
                      "CaO": 11.5, "Na2O": 2.6, "K2O": 0.4, "P2O5": 0.15}),
    "rhyolite": oxides({"SiO2": 73.5, "TiO2": 0.25, "Al2O3": 13.5, "Fe2O3": 2.0, "MnO": 0.05, "MgO": 0.3,
                        "CaO": 1.1, "Na2O": 3.8, "K2O": 4.8, "P2O5": 0.05}),
    "dolomitic": oxides({"SiO2": 8.0, "Al2O3": 1.5, "Fe2O3": 1.0, "MgO": 18.0, "CaO": 32.0, "K2O": 0.3}),
}

# Beams: (kV, Al filter um, elements measured on K lines, light elements)
ALLOY_BEAMS = [(40, 100, ["Cr", "Mn", "Fe", "Ni", "Cu", "Zn", "Mo"], [])]
ROCK_BEAMS = [(40, 100, ["Ti", "Mn", "Fe", "Ca", "K"], ["O"]),
              (15, 0, ["Na", "Mg", "Al", "Si", "P"], ["O"])]


_TUBES = {}


def tube_excitation(kv):
    if kv not in _TUBES:
        _TUBES[kv] = ebel_tube(kv)
    return _TUBES[kv]


def groups(symbol):
    """The group lines the library analyses for the element: KA, and KB where xraylib has it."""
    Z = xraylib.SymbolToAtomicNumber(symbol)
    try:
        has_kb = xraylib.LineEnergy(Z, xraylib.KB_LINE) > 0 and xraylib.RadRate(Z, xraylib.KB_LINE) > 0
    except ValueError:
        has_kb = False
    return ("KA", "KB") if has_kb else ("KA",)


def simulate(sample, composition, beams):
    """fisx line rates (KA, KB groups) per beam and the Compton scatter rate of beam 0."""
    name = "material_" + sample
    density = 8.0 if "O" not in composition else 2.7
    material = Material(name, density, 1.0)
    material.setCompositionFromLists(list(composition.keys()), list(composition.values()))
    ELEMENTS.addMaterial(material)
    out = []
    for kv, al_um, measured, light in beams:
        energies, weights, lines = tube_excitation(kv)
        e = energies + [E for E, _ in lines]
        w = weights + [v for _, v in lines]
        c = [0] * len(energies) + [1] * len(lines)
        xrf = XRF()
        xrf.setBeam(e, w, c)
        if al_um > 0:
            xrf.setBeamFilters([["Al", 2.7, al_um * 1e-4, 1.0]])
        xrf.setSample([[name, density, 2.0]])
        xrf.setAttenuators([["Be", 1.848, DETECTOR_WINDOW_UM * 1e-4, 1.0]])
        xrf.setDetector(Detector("Si", 2.33, DETECTOR_UM * 1e-4))
        xrf.setGeometry(INCIDENCE, TAKEOFF)
        present = [s for s in measured if composition.get(s, 0) > 0]
        result = xrf.getMultilayerFluorescence([s + " K" for s in present], ELEMENTS, secondary=2,
                                               useGeometricEfficiency=0, useMassFractions=1)
        rates = {}
        for s in measured:
            ka = kb = 0.0
            if s in present:
                for line, v in result[s + " K"][0].items():
                    if "esc" in line:
                        continue
                    if line.startswith("KL"):
                        ka += v["rate"]
                    elif line.startswith("K"):
                        kb += v["rate"]
            rates[s] = (ka, kb)
        beam = {"lines": []}
        for s in measured:
            for group, r in zip(groups(s), rates[s]):
                beam["lines"].append({"element": s, "line": group, "rate": r, "uncertainty": 0.0})
        if not out:  # beam 0 carries the scatter rate (the calibration reads it)
            beam["scatterRate"] = compton(composition, energies, weights, lines, al_um)
        out.append(beam)
    return out


def compton(composition, energies, weights, lines, al_um):
    """Single Compton scatter of the tube radiation between 19 and 21 keV from a thick sample into
    the detector, with the detector's efficiency (photons of the scattered energy)."""
    theta = math.radians(180.0 - INCIDENCE - TAKEOFF)
    s_in, s_out = math.sin(math.radians(INCIDENCE)), math.sin(math.radians(TAKEOFF))
    points = [(E, w) for E, w in zip(energies, weights) if 19.0 <= E <= 21.0] + \
             [(E, w) for E, w in lines if 19.0 <= E <= 21.0]
    total = 0.0
    for E, w in points:
        if al_um > 0:
            w *= math.exp(-mu("Al", [E])[0] * 2.7 * al_um * 1e-4)
        Ec = E / (1 + E / 511.0 * (1 - math.cos(theta)))
        mu_in = sum(f * mu(s, [E])[0] for s, f in composition.items())
        mu_out = sum(f * mu(s, [Ec])[0] for s, f in composition.items())
        dcs = sum(f * xraylib.DCS_Compt(xraylib.SymbolToAtomicNumber(s), E, theta) for s, f in composition.items())
        eff = math.exp(-mu("Be", [Ec])[0] * 1.848 * DETECTOR_WINDOW_UM * 1e-4) * \
            (1 - math.exp(-mu("Si", [Ec])[0] * 2.33 * DETECTOR_UM * 1e-4))
        total += w * dcs / (mu_in + mu_out * s_in / s_out) * eff
    return total * 1e-6


# ---- the library's side --------------------------------------------------------------------
def config(beams, options):
    cfg = {
        "detector": {"Z": 14, "thickness": DETECTOR_UM, "windowZ": 4, "windowThickness": DETECTOR_WINDOW_UM,
                     "measuredFWHMEnergy": 5900, "measuredFWHM": 140},
        "tube": {"anodeZ": 45, "anodeThickness": 100, "windowZ": 4, "windowThickness": TUBE_WINDOW_UM,
                 "takeoffAngle": TUBE_TAKEOFF},
        "takeoffAngle": TAKEOFF, "incodenceAngle": INCIDENCE, "beams": []}
    for kv, al_um, measured, light in beams:
        beam = {"tubeKeV": kv, "lines": [[s, g] for s in measured for g in groups(s)]}
        if al_um > 0:
            beam["filters"] = [{"compound": "Al", "thickness": al_um, "density": 2.7}]
        if light:
            beam["LEElements"] = light
            beam["LEEnergyKeV"] = 20
        if "step" in options:
            beam["excitationStepKeV"] = 0.1
        if "table" in options:
            energies, weights, lines = tube_excitation(kv)
            merged = sorted(list(zip(energies, weights)) + lines)
            beam["excitation"] = {"energies": [e for e, _ in merged], "intensities": [w for _, w in merged]}
        cfg["beams"].append(beam)
    if "ebel" in options:
        cfg["tube"]["model"] = "ebel"
    if "subshell" in options:
        cfg["photoabsorption"] = "subshellSum"
    return cfg


def run(*args):
    out = subprocess.run([CALYX, *args], env=dict(os.environ, LD_LIBRARY_PATH=BUILD), capture_output=True,
                         text=True, cwd=ROOT)
    if out.returncode not in (0, 1, 3):  # 3: quantify printed a result that did not converge
        raise RuntimeError(out.stderr)
    return out.stdout


def errors(tmp, tag, beams, standards, unknowns, simulated, options):
    cfg_path = os.path.join(tmp, f"{tag}-config.json")
    json.dump(config(beams, options), open(cfg_path, "w"))
    std_path = os.path.join(tmp, f"{tag}-standards.json")
    json.dump({"standards": [{"name": n, "composition": c, "beams": simulated[n]} for n, c in standards.items()]},
              open(std_path, "w"))
    cal = os.path.join(tmp, f"{tag}-cal.json")
    run("calibrate", cfg_path, "--standards", std_path, "-o", cal)
    rel = []
    unconverged = []
    worst = ("", "", 0.0)
    for name, comp in unknowns.items():
        rates = os.path.join(tmp, f"{tag}-{name}.json")
        json.dump({"sample": name, "beams": simulated[name]}, open(rates, "w"))
        solver = "passes" if "passes" in options else "robust"
        result = json.loads(run("quantify", cfg_path, "--rates", rates, "--calibration", cal, "--format", "json",
                                "--solver", solver, "--tolerance", "1e-9", "--max-passes", "1000"))
        if not result["converged"]:
            unconverged.append(name)
        found = result["composition"]
        total = sum(found.values())
        for s, f in comp.items():
            if f < MAJOR:
                continue
            e = abs(found.get(s, 0.0) / total - f) / f
            rel.append(e)
            if e > worst[2]:
                worst = (name, s, e)
    return statistics.median(rel), max(rel), worst, unconverged


OPTIONS = [("default, passes solver", {"passes"}), ("default", set()), ("step 0.1 keV", {"step"}), ("ebel tube", {"ebel"}),
           ("subshellSum", {"subshell"}), ("step+ebel", {"step", "ebel"}),
           ("step+subshellSum", {"step", "subshell"}), ("ebel+subshellSum", {"ebel", "subshell"}),
           ("step+ebel+subshellSum", {"step", "ebel", "subshell"}),
           ("exact tube table", {"table"}), ("table+subshellSum", {"table", "subshell"})]


def main():
    sets = [("alloys", ALLOY_BEAMS, ALLOY_STANDARDS, ALLOY_UNKNOWNS),
            ("rocks", ROCK_BEAMS, ROCK_STANDARDS, ROCK_UNKNOWNS)]
    # The simulation takes minutes; CALYX_ACCURACY_CACHE names a file that keeps it.
    cache = os.environ.get("CALYX_ACCURACY_CACHE")
    simulated = json.load(open(cache)) if cache and os.path.exists(cache) else {}
    for _, beams, standards, unknowns in sets:
        for name, comp in list(standards.items()) + list(unknowns.items()):
            if name not in simulated:
                simulated[name] = simulate(name, comp, beams)
    if cache:
        json.dump(simulated, open(cache, "w"))
    print(f"relative error of majors (>= {100 * MAJOR:g} %), median / largest (sample, element)")
    with tempfile.TemporaryDirectory() as tmp:
        for label, options in OPTIONS:
            cells = []
            for tag, beams, standards, unknowns in sets:
                med, big, worst, unconverged = errors(tmp, tag, beams, standards, unknowns, simulated, options)
                note = f", not converged: {' '.join(unconverged)}" if unconverged else ""
                cells.append(f"{tag} {100 * med:5.2f} % / {100 * big:5.2f} % ({worst[0]} {worst[1]}{note})")
            print(f"{label:22s} " + "   ".join(cells))


if __name__ == "__main__":
    main()
