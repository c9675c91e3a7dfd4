#!/usr/bin/python3
"""The README's main job in Python: calibrate each mode of the example analyser on its bundled
standards, quantify each bundled unknown and print it beside its true composition; then plot
the main beam's tube spectrum and the Fe KA calibration line (PNG files, matplotlib).

    PYTHONPATH=build/python /usr/bin/python3 examples/python/calibrate_and_quantify.py --out build
"""

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import calyx  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1]


def print_beside_truth(result, truth):
    print(f"{'element':<8} {'mass %':>10} {'± %':>10} {'true %':>10} {'diff':>10}")
    for symbol, fraction in result.composition.items():
        if fraction < 1e-6 and symbol not in truth:
            continue
        t = truth.get(symbol, 0.0)
        print(f"{symbol:<8} {100 * fraction:>10.4f} {100 * result.uncertainties[symbol]:>10.4f} "
              f"{100 * t:>10.4f} {100 * (fraction - t):>+10.4f}")


def plot_tube(engine, path):
    tube = engine.tube_spectrum(beam=0, step=0.05)
    fig, ax = plt.subplots(figsize=(8, 4.5))
    # xraylib's cross sections start at 1 keV: below it the filter is not modelled.
    shown = tube.energies >= 1.0
    ax.semilogy(tube.energies[shown], tube.intensities[shown], lw=1, label="continuum (per 0.05 keV bin)")
    ax.vlines(tube.line_energies, 1, tube.line_intensities, colors="C3", lw=2, label="anode lines (per 1 keV bin)")
    for name, e, i in zip(tube.line_names, tube.line_energies, tube.line_intensities):
        ax.annotate(name, (e, i), textcoords="offset points", xytext=(3, 3), fontsize=8)
    # Below 3 keV the aluminium filter leaves next to nothing: show five decades under the peak.
    ax.set_ylim(tube.intensities[shown].max() * 1e-5, tube.line_intensities.max() * 3)
    ax.set_xlabel("Energy (keV)")
    ax.set_ylabel("Intensity (relative photons per bin)")
    ax.set_title("Alloy mode, beam 0: Rh tube at 40 kV behind 100 µm Al")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def plot_calibration(standards, predicted, factor, path):
    fig, ax = plt.subplots(figsize=(6, 5))
    x = [p for p in predicted]
    y = [s.rates.beams[0].as_dict().get("Fe KA", 0.0) for s in standards]
    ax.plot(x, y, "o", label="standards")
    for s, xi, yi in zip(standards, x, y):
        if xi > 0.1 * max(x):  # the iron-poor standards crowd the origin
            ax.annotate(s.name, (xi, yi), textcoords="offset points", xytext=(4, -10), fontsize=7)
    top = max(x) * 1.05
    ax.plot([0, top], [0, factor * top], "-", label=f"calibration: measured = {factor:.4f} x predicted")
    ax.set_xlabel("Predicted Fe KA rate (model x detector efficiency)")
    ax.set_ylabel("Measured Fe KA rate")
    ax.set_title("Alloy mode: Fe KA calibration line")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="build", help="folder for the PNG files and calibrations")
    out = Path(parser.parse_args().out)
    out.mkdir(parents=True, exist_ok=True)

    for mode in ("alloy", "oxide"):
        print(f"{'#' * 32} {mode} mode {'#' * 32}")
        config = EXAMPLES / "config" / f"handheld-{mode}.json"
        engine = calyx.Engine(config)
        standards = calyx.read_standards(EXAMPLES / "data" / mode / "standards.json")
        # The uncalibrated predictions of the standards, for the calibration plot.
        predicted = [engine.simulate(s.composition).beams[0].as_dict()["Fe KA"] for s in standards]
        engine.calibrate(standards, debug_csv=out / f"python-calibration-{mode}.debug.csv")
        engine.save_calibration(out / f"python-calibration-{mode}.json")
        print(f"calibrated on {len(standards)} standards: Fe KA factor {engine.line_factors[(0, 'Fe KA')]:.6f}, "
              f"light-element factor {engine.le_factor:.6g}, offset {engine.le_offset:.6g}")
        if mode == "alloy":
            plot_tube(engine, out / "tube-spectrum.png")
            plot_calibration(standards, predicted, engine.line_factors[(0, "Fe KA")], out / "calibration-fe-ka.png")

        unknowns = sorted((EXAMPLES / "data" / mode / "unknowns").glob("*.rates.json"))
        results = engine.quantify_many([calyx.read_rates(p) for p in unknowns])
        for path, result in zip(unknowns, results):
            truth = calyx.read_composition(str(path).replace(".rates.json", ".composition.json"))
            print(f"\n{result.sample}: {'converged' if result.converged else 'NOT CONVERGED'} after "
                  f"{result.passes} passes")
            print_beside_truth(result, truth)
        print()
    print(f"plots: {out / 'tube-spectrum.png'}, {out / 'calibration-fe-ka.png'}")


if __name__ == "__main__":
    main()
