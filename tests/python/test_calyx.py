"""Tests of the Python module calyx, run by ctest (label python) on the build tree's package."""

import json
import logging
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import calyx

EXAMPLES = Path(os.environ.get("CALYX_EXAMPLES_DIR", Path(__file__).resolve().parents[2] / "examples"))
ALLOY = EXAMPLES / "config" / "handheld-alloy.json"
OXIDE = EXAMPLES / "config" / "handheld-oxide.json"
TOOL = os.environ.get("CALYX_TOOL")


def config_dict(path):
    """The configuration as a dict (the example files carry // comments)."""
    text = re.sub(r"//[^\n]*", "", path.read_text())
    return json.loads(text)


@pytest.fixture(scope="module")
def alloy():
    engine = calyx.Engine(ALLOY)
    engine.calibrate(calyx.read_standards(EXAMPLES / "data" / "alloy" / "standards.json"),
                     debug_csv=os.devnull)
    return engine


def unknowns(mode):
    return sorted((EXAMPLES / "data" / mode / "unknowns").glob("*.rates.json"))


@pytest.mark.parametrize("config, truth", [
    (ALLOY, {"Fe": 0.68, "Cr": 0.17, "Ni": 0.11, "Mo": 0.022, "Mn": 0.013, "Si": 0.005}),
    (OXIDE, {"O": 0.47378, "Si": 0.28448, "Al": 0.09441, "Ca": 0.0525, "Fe": 0.05137, "Mg": 0.02215,
             "K": 0.01307, "Ti": 0.00566, "Mn": 0.00122, "P": 0.00092, "Sr": 0.00044}),
])
def test_simulate_then_quantify_gives_the_composition_back(config, truth):
    # The dict form of the configuration builds the same engine as the file.
    engine = calyx.Engine(config_dict(config))
    result = engine.quantify(engine.simulate(truth))
    assert result.converged
    for symbol, fraction in result.composition.items():
        assert fraction == pytest.approx(truth.get(symbol, 0.0), abs=1e-6), symbol


def test_numpy_rates_in_the_engine_order_match_the_dict_form(alloy):
    rates = calyx.read_rates(unknowns("alloy")[0])
    by_dict = alloy.quantify([b.as_dict() for b in rates.beams], scatter=rates.beams[0].scatter)
    arrays = []
    for b, beam in enumerate(rates.beams):
        given = beam.as_dict()
        arrays.append(np.array([given.get(label, 0.0) for label in alloy.lines(b)]))
    by_array = alloy.quantify(arrays, scatter=rates.beams[0].scatter)
    assert by_array.composition == by_dict.composition
    assert by_array.passes == by_dict.passes


def test_batch_equals_one_at_a_time(alloy):
    measurements = [calyx.read_rates(p) for p in unknowns("alloy")] * 3
    batch = alloy.quantify_many(measurements, threads=2)
    single = [alloy.quantify(m) for m in measurements]
    assert [r.sample for r in batch] == [m.sample for m in measurements]
    for b, s in zip(batch, single):
        assert b.composition == s.composition and b.uncertainties == s.uncertainties
        assert (b.passes, b.converged) == (s.passes, s.converged)
        assert [(l.line, l.predicted) for l in b.lines] == [(l.line, l.predicted) for l in s.lines]


def test_outcomes_follow_the_tools_rules():
    # Converged only when the last pass corrected every line in use; a pass that corrects no
    # line, or fractions that run away, give no composition but the tool's message.
    # Pb KA (75 keV) is never excited by a 40 kV tube: its prediction is 0.
    pb_config = {"detector": {"Z": 14, "thickness": 500, "windowZ": 4, "windowThickness": 12.5},
                 "tube": {"anodeZ": 45, "windowZ": 4, "windowThickness": 75, "takeoffAngle": 25}}
    pb_only = calyx.Engine(dict(pb_config, beams=[{"tubeKeV": 40, "lines": [["Pb", "KA"]]}]))
    fe_pb = calyx.Engine(dict(pb_config, beams=[{"tubeKeV": 40, "lines": [["Fe", "KA"], ["Pb", "KA"]]}]))
    engine = calyx.Engine(ALLOY)
    rates = engine.simulate({"Fe": 0.7, "Cr": 0.3})
    x1000 = [calyx.BeamRates(b.lines, 1000 * b.rates, scatter=b.scatter) for b in rates.beams]
    cases = [  # engine, rates, keywords, (converged, skipped lines) or (error text)
        (engine, rates, {}, (True, 0)),
        (engine, rates, {"max_passes": 1}, (False, 0)),
        (engine, rates, {"solver": "robust"}, (True, 0)),
        (fe_pb, [{"Fe KA": 100.0, "Pb KA": 100.0}], {}, (False, 1)),
        (engine, x1000, {}, "the quantification diverged after"),
        (pb_only, [{"Pb KA": 100.0}], {}, "no line could be corrected in pass 1: every line's measured rate or "
                                          "prediction is 0 or not finite; no composition is given"),
    ]
    for e, given, keywords, expected in cases:
        if isinstance(expected, str):
            with pytest.raises(calyx.ConvergenceError, match="^" + re.escape(expected)):
                e.quantify(given, **keywords)
            with pytest.raises(calyx.ConvergenceError, match="^measurement 0: " + re.escape(expected)):
                e.quantify_many([given], **keywords)
            continue
        result = e.quantify(given, **keywords)
        assert (result.converged, result.skipped_lines) == expected, keywords
        if result.converged:
            assert result.composition["Fe"] == pytest.approx(0.7, abs=1e-5)


def test_a_synthetic_spectrum_fits_to_the_engines_predictions():
    engine = calyx.Engine(ALLOY)
    steel = {"Fe": 0.70, "Cr": 0.18, "Ni": 0.10, "Mn": 0.02}
    predicted = engine.simulate(steel).beams[0].as_dict()
    spectrum = engine.synthesize_spectrum(steel, live_time=100.0)
    assert spectrum.counts.shape == (2048,) and spectrum.energies[1] == pytest.approx(0.02)
    # Mn KA lies under Cr KB: tied in the atomic ratio it is off by the matrix's share; tied in
    # the model's ratio for the sample it is not.
    fit = engine.fit_spectrum(spectrum, composition=steel)
    for line in ["Fe KA", "Cr KA", "Ni KA", "Mn KA"]:
        assert fit.rates[line] == pytest.approx(predicted[line], rel=0.02), line
    assert fit.reduced_chi_square < 5
    assert engine.fit_spectrum(spectrum).rates["Fe KA"] == pytest.approx(predicted["Fe KA"], rel=0.02)
    first, end = fit.channels
    assert np.allclose((fit.model + fit.residuals)[first:end], spectrum.counts[first:end],
                       atol=1e-9 * spectrum.counts.max())


def test_python_threads_run_while_the_engine_computes(alloy):
    import threading
    import time
    rates = calyx.read_rates(unknowns("alloy")[0])
    worker = threading.Thread(target=alloy.quantify_many, args=([rates] * 400,), kwargs={"threads": 1})
    worker.start()
    ticks = 0
    while worker.is_alive():  # each tick needs the GIL back after a 1 ms sleep
        ticks += 1
        time.sleep(0.001)
    worker.join()
    assert ticks >= 10


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_errors_carry_the_library_message(tmp_path):
    # The library's own texts (docs/file-formats.md), each under its exception class.
    cases = [
        (calyx.ConfigurationError, "no 'detector' element found",
         lambda: calyx.Engine({"tube": {}, "beams": []})),
        (calyx.ConfigurationError, "LE Energy not set",
         lambda: calyx.Engine(dict(config_dict(ALLOY), beams=[{"tubeKeV": 40, "LEElements": ["O"]}]))),
        (calyx.ConfigurationError, "error reading symbol: Xx",
         lambda: calyx.Engine(dict(config_dict(ALLOY), beams=[{"tubeKeV": 40, "allLines": ["Xx"]}]))),
        (calyx.CalibrationFileError, "no 'lines' element found",
         lambda: calyx.Engine(ALLOY).load_calibration(write(tmp_path, "c.json", '{"LEFactors": [1]}'))),
        (calyx.CalibrationFileError, "cannot write calibration file: " + str(tmp_path / "no" / "c.json"),
         lambda: calyx.Engine(ALLOY).save_calibration(tmp_path / "no" / "c.json")),
        (calyx.McaFileError, "could not parse num of bins: many",
         lambda: calyx.read_mca(write(tmp_path, "a.mca", "Energy scale offset = 0\nEnergy scale slope = 10\n\nmany\n1\n"))),
        (calyx.McaFileError, "could not find offset and slope metadata",
         lambda: calyx.read_mca(write(tmp_path, "b.mca", "Livetime = 1\n\n1\n5\n"))),
        (calyx.InputError, "Zn KB is not analysed under beam 1",
         lambda: calyx.Engine(ALLOY).quantify([{"Fe KA": 1.0}, {"Zn KB": 5.0}])),
        (calyx.InputError, "unknown element 'Xy'",
         lambda: calyx.Engine(ALLOY).simulate({"Xy": 1.0})),
    ]
    for kind, message, call in cases:
        with pytest.raises(kind) as raised:
            call()
        assert str(raised.value) == message
        assert isinstance(raised.value, calyx.CalyxError)
    assert issubclass(calyx.InputError, ValueError)


def test_a_failed_calibration_read_keeps_the_factors(tmp_path):
    engine = calyx.Engine(ALLOY)
    before = engine.line_factors
    # The first entry may take effect inside the library before the second fails.
    bad = write(tmp_path, "c.json", '{"lines": [[0, "Fe", "KA", 2.5], [0, "Cr", "KA", "high"]]}')
    with pytest.raises(calyx.CalibrationFileError):
        engine.load_calibration(bad)
    assert engine.line_factors == before


def test_the_library_log_reaches_python_logging(alloy, caplog):
    rates = calyx.read_rates(unknowns("alloy")[0])
    calyx.set_log_level("info")
    try:
        with caplog.at_level(logging.INFO, logger="calyx"):
            alloy.quantify(rates)
            alloy.quantify_many([rates, rates], threads=2)
    finally:
        calyx.set_log_level("warning")
    traces = [r for r in caplog.records if r.name == "calyx" and r.levelno == logging.INFO]
    # Each quantification logs from inside the library, on the worker threads too.
    assert len(traces) >= 3
    assert all(r.getMessage().startswith("[src/") for r in traces)
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="calyx"):
        alloy.quantify(rates)
    assert not [r for r in caplog.records if r.levelno < logging.WARNING]


def test_numpy_views_share_the_library_buffers(alloy, tmp_path):
    tube = alloy.tube_spectrum(0, step=0.1)
    energies, intensities = tube
    assert len(energies) == len(intensities) == 400
    for view in (intensities, calyx.BeamRates({"Fe KA": 2.0}).rates):
        assert not view.flags.owndata and not view.flags.writeable and view.base is not None

    counts = np.arange(1.0, 2049.0)
    path = tmp_path / "s.mca"
    calyx.Mca(counts, offset=0.01, slope=0.02, metadata={"Livetime": 30.5}).write(path)
    mca = calyx.read_mca(path)
    assert np.shares_memory(mca.counts, mca.counts) and not mca.counts.flags.owndata
    np.testing.assert_array_equal(mca.counts, counts)
    assert mca.livetime == 30.5 and mca.offset == pytest.approx(0.01) and mca.slope == pytest.approx(0.02)


def test_physics_functions_match_xraylib():
    xrl = pytest.importorskip("xraylib")
    energies = np.array([3.0, 8.0, 20.0])
    mu = lambda z: np.array([xrl.CS_Total(z, e) for e in energies])  # noqa: E731
    # A filter: exp(-mu rho t), t in micrometres; density 0 takes the element's own.
    np.testing.assert_allclose(calyx.filter_transmission(energies, "Al", 100.0, 2.7),
                               np.exp(-mu(13) * 2.7 * 100e-4), rtol=1e-12)
    np.testing.assert_allclose(calyx.filter_transmission(energies, {"Al": 1.0}, 50.0),
                               np.exp(-mu(13) * xrl.ElementDensity(13) * 50e-4), rtol=1e-12)
    # A detector: window transmission times absorption in the crystal.
    window = np.exp(-mu(4) * xrl.ElementDensity(4) * 12.5e-4)
    crystal = 1 - np.exp(-mu(14) * xrl.ElementDensity(14) * 450e-4)
    np.testing.assert_allclose(calyx.detector_efficiency(energies, crystal="Si", thickness=450.0, window=4,
                                                         window_thickness=12.5), window * crystal, rtol=1e-12)


def tool_table(output):
    """element -> (mass %, ± %) texts, from the tool's printed table."""
    rows = {}
    for line in output.splitlines():
        m = re.match(r"^([A-Z][a-z]?)\s+(-?\d+\.\d{4})\s+(-?\d+\.\d{4})", line)
        if m:
            rows[m.group(1)] = (m.group(2), m.group(3))
    return rows


@pytest.fixture(scope="module")
def tool_calibration(tmp_path_factory):
    if not TOOL:
        pytest.skip("the calyx tool is not built")
    calibration = tmp_path_factory.mktemp("tool") / "alloy-cal.json"
    subprocess.run([TOOL, "calibrate", str(ALLOY), "--standards", str(EXAMPLES / "data/alloy/standards.json"),
                    "-o", str(calibration)], check=True, capture_output=True)
    return calibration


def tool_quantify(rates, calibration):
    return subprocess.run([TOOL, "quantify", str(ALLOY), "--rates", str(rates), "--calibration", str(calibration)],
                          check=True, capture_output=True, text=True).stdout


def test_same_digits_as_the_tool(alloy, tool_calibration):
    engine = calyx.Engine(ALLOY)
    engine.load_calibration(tool_calibration)
    for rates in unknowns("alloy"):
        out = tool_quantify(rates, tool_calibration)
        result = engine.quantify(calyx.read_rates(rates))
        mine = {s: (f"{100 * f:.4f}", f"{100 * result.uncertainties[s]:.4f}")
                for s, f in result.composition.items() if f >= 1e-6}
        assert mine == tool_table(out)
        assert f"converged after {result.passes} passes" in out
        for line in result.lines:
            if line.in_use:
                assert re.search(rf"^{line.beam}\s+{line.line}\s+{re.escape(f'{line.measured:.6g}')}\s+"
                                 rf"{re.escape(f'{line.predicted:.6g}')}$", out, re.M), line.line
    # The engine calibrated in Python has the factors of the tool's file.
    assert alloy.line_factors == pytest.approx(engine.line_factors, rel=1e-12)


def test_spectra_quantify_with_the_tools_digits(tool_calibration):
    engine = calyx.Engine(ALLOY)
    engine.load_calibration(tool_calibration)
    spectra = [EXAMPLES / "data/alloy/unknowns/stainless-316l.mca", EXAMPLES / "data/alloy/unknowns/stainless-316l.beam1.mca"]
    out = subprocess.run([TOOL, "quantify", str(ALLOY), "--calibration", str(tool_calibration), "--spectra",
                          *map(str, spectra)], check=True, capture_output=True, text=True).stdout
    result = engine.quantify_spectra(spectra)
    mine = {s: (f"{100 * f:.4f}", f"{100 * result.uncertainties[s]:.4f}")
            for s, f in result.composition.items() if f >= 1e-6}
    assert mine == tool_table(out)
    assert f"converged after {result.passes} passes" in out
    # Read to numpy and given back as counts, the spectrum gives the same fit as its file.
    spectrum = calyx.read_spectrum(spectra[0])
    by_file = engine.fit_spectrum(spectra[0])
    by_array = engine.fit_spectrum(spectrum.counts, offset=spectrum.offset, slope=spectrum.slope,
                                   live_time=spectrum.live_time)
    assert by_array.rates == by_file.rates and by_array.scatter_rate == by_file.scatter_rate


@pytest.mark.skipif(not os.environ.get("CALYX_BUILD_DIR"), reason="no build tree to install")
def test_the_installed_package_quantifies_like_the_tool(tool_calibration, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", os.environ["CALYX_BUILD_DIR"], "--prefix", str(prefix)], check=True,
                   capture_output=True)
    rates = EXAMPLES / "data/alloy/unknowns/stainless-316l.rates.json"
    script = (f"import calyx; e = calyx.Engine({str(ALLOY)!r}); e.load_calibration({str(tool_calibration)!r}); "
              f"print(calyx.__file__); print(e.quantify(calyx.read_rates({str(rates)!r})))")
    env = dict(os.environ, PYTHONPATH=str(prefix / os.environ["CALYX_PYTHON_INSTALL_DIR"]))
    done = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(str(prefix))
    assert tool_table(done.stdout) == tool_table(tool_quantify(rates, tool_calibration))
    assert len(tool_table(done.stdout)) == 6


def test_example_script_writes_its_plots(tmp_path):
    script = EXAMPLES / "python" / "calibrate_and_quantify.py"
    done = subprocess.run([sys.executable, str(script), "--out", str(tmp_path)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for name in ("tube-spectrum.png", "calibration-fe-ka.png"):
        assert (tmp_path / name).stat().st_size > 10000
    assert "stainless-316l" in done.stdout


def test_the_type_stub_names_what_the_module_has():
    import ast
    stub = ast.parse((Path(calyx.__file__).parent / "_calyx.pyi").read_text())
    for node in stub.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            assert hasattr(calyx._calyx, node.name), node.name
        if isinstance(node, ast.ClassDef):
            cls = getattr(calyx._calyx, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    assert hasattr(cls, member.name), f"{node.name}.{member.name}"
