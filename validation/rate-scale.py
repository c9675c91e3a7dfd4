#!/usr/bin/python3
"""Quantify the bundled unknowns with their rates (lines and scatter) scaled by 0.01 ... 100
and compare the normalised compositions with the unscaled one, for both solvers.

usage: validation/rate-scale.py [BUILD_DIR [TOLERANCE]]   (default build/; calibrates into a temporary folder)
"""
import glob, json, os, subprocess, sys, tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build"))
calyx = os.path.join(build, "tools", "calyx")
env = dict(os.environ, LD_LIBRARY_PATH=build)
scales = [0.01, 0.1, 1.0, 10.0, 100.0]
tolerance = sys.argv[2] if len(sys.argv) > 2 else "1e-10"


def run(*args):
    out = subprocess.run([calyx, *args], env=env, capture_output=True, text=True, cwd=root)
    return out


def normalised(result):
    comp = result["composition"]
    total = sum(comp.values())
    return {k: v / total for k, v in comp.items()}


with tempfile.TemporaryDirectory() as tmp:
    worst = {"passes": 0.0, "robust": 0.0}
    for mode in ("alloy", "oxide"):
        config = f"examples/config/handheld-{mode}.json"
        cal = os.path.join(tmp, f"cal-{mode}.json")
        run("calibrate", config, "--standards", f"examples/data/{mode}/standards.json", "-o", cal).check_returncode()
        for rates in sorted(glob.glob(os.path.join(root, f"examples/data/{mode}/unknowns/*.rates.json"))):
            name = os.path.basename(rates)[: -len(".rates.json")]
            record = json.load(open(rates))
            atOne = {}
            for solver in ("passes", "robust"):
                results = {}
                for s in scales:
                    scaled = json.loads(json.dumps(record))
                    for beam in scaled["beams"]:
                        if "scatterRate" in beam:
                            beam["scatterRate"] *= s
                        for line in beam["lines"]:
                            line["rate"] *= s
                            line["uncertainty"] *= s
                    path = os.path.join(tmp, f"{name}-{s}.json")
                    json.dump(scaled, open(path, "w"))
                    out = run("quantify", config, "--rates", path, "--calibration", cal, "--format", "json",
                              "--solver", solver, "--tolerance", tolerance, "--max-passes", "1000")
                    if not out.stdout.strip():
                        results[s] = None
                        continue
                    results[s] = json.loads(out.stdout)
                ref = normalised(results[1.0])
                atOne[solver] = ref
                cells = []
                for s in scales:
                    r = results[s]
                    if r is None:
                        cells.append(f"x{s:g}: failed")
                        continue
                    comp = normalised(r)
                    diff = max(abs(comp[k] - ref[k]) for k in ref)
                    if s != 1.0:
                        worst[solver] = max(worst[solver], diff)
                    cells.append(f"x{s:g}: {r['passes']} passes{'' if r['converged'] else ' (not converged)'}, "
                                 f"max |diff| {diff:.1e}")
                print(f"{mode:5s} {name:16s} {solver:6s} " + "; ".join(cells))
            gap = max(abs(atOne["passes"][k] - atOne["robust"][k]) for k in atOne["passes"])
            print(f"{mode:5s} {name:16s} x1: passes and robust differ by {gap:.1e} at most")
    print(f"largest difference from x1 over the scaled rates: passes {worst['passes']:.2e}, robust {worst['robust']:.2e}")
