"""Calyx: X-ray fluorescence quantification by fundamental parameters.

    import calyx
    engine = calyx.Engine("examples/config/handheld-alloy.json")   # or a dict of the same content
    engine.load_calibration("build/example-calibration-alloy.json")
    rates = calyx.read_rates("examples/data/alloy/unknowns/stainless-316l.rates.json")
    result = engine.quantify(rates)
    result.composition      # {'Fe': 0.6798..., 'Cr': 0.1702..., ...}
    result.converged, result.passes

Failures raise calyx.CalyxError subclasses whose text is the library's own message; the
library's log goes to Python's logger "calyx" (calyx.set_log_level). Every call that
computes releases the GIL. docs/python.md has the whole tour.
"""

from ._calyx import (
    BeamRates,
    CalibrationFileError,
    CalyxError,
    ConfigurationError,
    ConvergenceError,
    Engine,
    FitLine,
    FitResult,
    InputError,
    LineResult,
    Mca,
    McaFileError,
    Rates,
    Result,
    Spectrum,
    Standard,
    TubeSpectrum,
    __version__,
    detector_efficiency,
    filter_transmission,
    get_log_level,
    read_mca,
    read_spectrum,
    set_log_level,
)
from ._files import read_composition, read_rates, read_standards, write_rates

import logging as _logging

# A library's logger leaves the output to the application (logging.basicConfig, say).
_logging.getLogger("calyx").addHandler(_logging.NullHandler())

__all__ = [
    "BeamRates", "CalibrationFileError", "CalyxError", "ConfigurationError", "ConvergenceError", "Engine", "FitLine", "FitResult", "InputError",
    "LineResult", "Mca", "McaFileError", "Rates", "Result", "Spectrum", "Standard", "TubeSpectrum", "__version__",
    "detector_efficiency", "filter_transmission", "get_log_level", "read_composition", "read_mca",
    "read_rates", "read_spectrum", "read_standards", "set_log_level", "write_rates",
]

# Elements below this mass fraction are listed as not found, as the tool lists them.
_NOT_FOUND = 1e-6


def _result_table(result: Result) -> str:
    """The composition as `calyx quantify --brief` prints it (mass %, ± %)."""
    lines = [f"{'element':<8} {'mass %':>10} {'± %':>10}"]
    total, absent = 0.0, []
    uncertainties = result.uncertainties
    for symbol, fraction in result.composition.items():
        total += fraction
        if fraction < _NOT_FOUND:
            absent.append(symbol)
            continue
        lines.append(f"{symbol:<8} {100 * fraction:>10.4f} {100 * uncertainties[symbol]:>10.4f}")
    lines.append(f"{'sum':<8} {100 * total:>10.4f}")
    if absent:
        lines.append(f"not found (below {100 * _NOT_FOUND:g} %): {', '.join(absent)}")
    return "\n".join(lines)


Result.__str__ = _result_table
