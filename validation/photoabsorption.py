#!/usr/bin/python3
"""xraylib's photoabsorption, CS_Photo, against its own subshell sum, CS_Photo_Total, and both
against fisx's photoelectric data (an independent table, EPDL97 as PyMca ships it), for
Z = 3-92 and 1-50 keV in 0.05 keV steps (points within 0.1 keV of an absorption edge are
left out: the tables place the edges a few eV apart).

Prints, per group of elements, the median and largest |CS_Photo / CS_Photo_Total - 1| and the
median and largest deviation of each from fisx. Needs Debian's python3-xraylib and python3-fisx.
usage: /usr/bin/python3 validation/photoabsorption.py
"""
import statistics

import xraylib
from fisx import Elements

elements = Elements()
elements.initializeAsPyMca()
energies = [1.0 + 0.05 * i for i in range(981)]
shells = range(0, 31)


def near_edge(Z, E):
    for s in shells:
        try:
            edge = xraylib.EdgeEnergy(Z, s)
        except ValueError:
            continue
        if edge > 0 and abs(E - edge) < 0.1:
            return True
    return False


rows = {}
for Z in range(3, 93):
    symbol = xraylib.AtomicNumberToSymbol(Z)
    use = [E for E in energies if not near_edge(Z, E)]
    fisx = elements.getMassAttenuationCoefficients(symbol, use)["photoelectric"]
    photo, total, dphoto, dtotal = [], [], [], []
    for E, ref in zip(use, fisx):
        p = xraylib.CS_Photo(Z, E)
        t = xraylib.CS_Photo_Total(Z, E)
        photo.append(abs(p / t - 1.0))
        dphoto.append(abs(p / ref - 1.0))
        dtotal.append(abs(t / ref - 1.0))
    rows[Z] = (photo, dphoto, dtotal)


def summary(label, zs):
    a = [x for z in zs for x in rows[z][0]]
    b = [x for z in zs for x in rows[z][1]]
    c = [x for z in zs for x in rows[z][2]]
    f = lambda v: f"{100 * statistics.median(v):6.2f} % / {100 * max(v):6.2f} %"
    print(f"{label:12s} Photo vs subshell sum {f(a)}   Photo vs fisx {f(b)}   subshell sum vs fisx {f(c)}")


print("median / largest relative difference")
summary("Z 3-18", range(3, 19))
summary("Z 19-30", range(19, 31))
summary("Z 31-56", range(31, 57))
summary("Z 57-92", range(57, 93))
summary("Z 19-92", range(19, 93))
for Z in (6, 8, 14, 22, 24, 26, 28, 29, 42, 82):
    photo, dphoto, dtotal = rows[Z]
    print(f"  Z {Z:2d} {xraylib.AtomicNumberToSymbol(Z):2s}: Photo/sum - 1 up to {100 * max(photo):5.1f} %, "
          f"Photo vs fisx up to {100 * max(dphoto):5.1f} %, sum vs fisx up to {100 * max(dtotal):5.1f} %")
