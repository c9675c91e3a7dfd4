/// @file
/// Calyx: X-ray fluorescence quantification by the fundamental-parameters method.
/// Includes every public header of the library.
#ifndef CALYX_CALYX_H
#define CALYX_CALYX_H

#include "calyx/version.h"
#include "calyx/Logger.h"
#include "calyx/Chemistry.h"
#include "calyx/XRFLine.h"
#include "calyx/SharedBuffer.h"
#include "calyx/Spectrum.h"
#include "calyx/Scatter.h"
#include "calyx/Filter.h"
#include "calyx/Hardware.h"
#include "calyx/TubeSpectrum.h"
#include "calyx/Sherman.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Calibration.h"
#include "calyx/Regression.h"
#include "calyx/CSVWriter.h"
#include "calyx/MCAFile.h"
#include "calyx/SpectrumFit.h"
#include "calyx/OptimizationProblem.h"

#endif  // CALYX_CALYX_H
