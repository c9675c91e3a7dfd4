// Readers of the spectrum formats detectors write: the "<<PMCA SPECTRUM>>" text format,
// EMSA/MAS (ISO 22029) and two-column text, besides the library's own MCA file. Every
// reader checks what it takes from the file and reports a fault through its status and the
// log; nothing is thrown for malformed content.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "calyx/SpectrumFit.h"
#include "detail/Log.h"

namespace calyx {

namespace {

// Enough for any multichannel analyser (they have at most 64k channels).
constexpr std::size_t kMaxChannels = 1u << 20;
// Relative spread of the steps that two-column text may have and still be one grid.
constexpr double kStepTolerance = 1e-3;

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  const std::size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A whole string as a finite number.
bool number(const std::string& text, double& out) {
  const std::string t = trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (end == t.c_str() || trim(end).size() != 0 || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// Splits on commas, semicolons and white space.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::string current;
  for (char c : line) {
    if (c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r') {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

bool finish(const char* format, double first, double step, const std::vector<double>& counts, MeasuredSpectrum& out) {
  if (counts.empty()) {
    CALYX_LOG_ERR("{:s} spectrum: no channels", format);
    return false;
  }
  if (!(step > 0) || !std::isfinite(step) || !std::isfinite(first)) {
    CALYX_LOG_ERR("{:s} spectrum: the energy scale (first {:g} keV, step {:g} keV) is not usable", format, first, step);
    return false;
  }
  for (std::size_t i = 0; i < counts.size(); ++i)
    if (!(counts[i] >= 0)) {
      CALYX_LOG_ERR("{:s} spectrum: channel {:d} holds {:g}; counts cannot be negative", format, i, counts[i]);
      return false;
    }
  out.spectrum = std::make_shared<LinearSpectrum<double>>(first, step, counts);
  out.format = format;
  return true;
}

// <<PMCA SPECTRUM>> ... LIVE_TIME - s, REAL_TIME - s, <<CALIBRATION>> LABEL - Channel, pairs
// "channel energy", <<DATA>> one count per line, <<END>>.
int readPmca(const std::vector<std::string>& text, MeasuredSpectrum& out) {
  enum Section { kHeader, kCalibration, kData, kOther } section = kHeader;
  std::vector<double> counts;
  std::vector<std::pair<double, double>> points;  // (channel, energy)
  bool ended = false;
  for (std::size_t n = 0; n < text.size() && !ended; ++n) {
    const std::string line = trim(text[n]);
    if (line.empty()) continue;
    if (line.compare(0, 2, "<<") == 0) {
      const std::string tag = upper(line);
      if (tag.find("<<END>>") == 0 || tag.find("<<DATA>>") == 0) {
        if (section == kData && tag.find("<<END>>") == 0) ended = true;
        section = tag.find("<<DATA>>") == 0 ? kData : kOther;
      } else if (tag.find("<<CALIBRATION>>") == 0) {
        section = kCalibration;
      } else if (tag.find("<<PMCA SPECTRUM>>") == 0) {
        section = kHeader;
      } else {
        section = kOther;
      }
      continue;
    }
    if (section == kData) {
      double v = 0.0;
      if (!number(line, v)) {
        CALYX_LOG_ERR("PMCA spectrum: line {:d} \"{:s}\" is not a count", n + 1, line.substr(0, 40));
        return 1;
      }
      if (counts.size() >= kMaxChannels) {
        CALYX_LOG_ERR("PMCA spectrum: more than {:d} channels", kMaxChannels);
        return 1;
      }
      counts.push_back(v);
    } else if (section == kHeader) {
      const std::size_t dash = line.find(" - ");
      if (dash == std::string::npos) continue;
      const std::string key = upper(trim(line.substr(0, dash)));
      double v = 0.0;
      if (key == "LIVE_TIME" || key == "REAL_TIME") {
        if (!number(line.substr(dash + 3), v)) {
          CALYX_LOG_ERR("PMCA spectrum: {:s} \"{:s}\" is not a number", key, line.substr(dash + 3, 40));
          return 1;
        }
        (key == "LIVE_TIME" ? out.liveTimeSeconds : out.realTimeSeconds) = v;
      }
    } else if (section == kCalibration) {
      if (upper(line).compare(0, 5, "LABEL") == 0) continue;
      const std::vector<std::string> f = fields(line);
      double c = 0.0, e = 0.0;
      if (f.size() != 2 || !number(f[0], c) || !number(f[1], e)) {
        CALYX_LOG_ERR("PMCA spectrum: calibration line \"{:s}\" is not \"channel energy\"", line.substr(0, 40));
        return 1;
      }
      points.emplace_back(c, e);
    }
  }
  // The calibration points give the energy scale by a least-squares line.
  if (points.size() < 2) {
    CALYX_LOG_ERR("PMCA spectrum: {:d} calibration point(s); the energy scale needs at least two", points.size());
    return 1;
  }
  double sc = 0, se = 0, scc = 0, sce = 0;
  for (const auto& p : points) {
    sc += p.first;
    se += p.second;
    scc += p.first * p.first;
    sce += p.first * p.second;
  }
  const double k = static_cast<double>(points.size());
  const double det = k * scc - sc * sc;
  if (!(std::fabs(det) > 0)) {
    CALYX_LOG_ERR("PMCA spectrum: the calibration points share one channel");
    return 1;
  }
  const double gain = (k * sce - sc * se) / det;
  const double offset = (se - gain * sc) / k;
  return finish("PMCA", offset, gain, counts, out) ? 0 : 1;
}

// EMSA/MAS: "#KEYWORD : value" lines; #XPERCHAN, #OFFSET, #XUNITS (eV or keV), #LIVETIME,
// #REALTIME, #DATATYPE (Y or XY), data after #SPECTRUM, to #ENDOFDATA.
int readEmsa(const std::vector<std::string>& text, MeasuredSpectrum& out) {
  double perChannel = std::numeric_limits<double>::quiet_NaN(), offset = 0.0, unit = 1.0;
  bool xy = false, inData = false, hasX = false;
  double firstX = 0.0;
  std::vector<double> counts;
  for (std::size_t n = 0; n < text.size(); ++n) {
    const std::string line = trim(text[n]);
    if (line.empty()) continue;
    if (line[0] == '#') {
      const std::size_t colon = line.find(':');
      std::string key = upper(trim(line.substr(1, colon == std::string::npos ? std::string::npos : colon - 1)));
      const std::size_t dash = key.find('-');  // "#LIVETIME  -s" carries the unit after a dash
      if (dash != std::string::npos) key = trim(key.substr(0, dash));
      const std::string value = colon == std::string::npos ? "" : trim(line.substr(colon + 1));
      double v = 0.0;
      if (key == "SPECTRUM") {
        inData = true;
      } else if (key == "ENDOFDATA") {
        break;
      } else if (key == "XPERCHAN" || key == "OFFSET" || key == "LIVETIME" || key == "REALTIME") {
        if (!number(value, v)) {
          CALYX_LOG_ERR("EMSA spectrum: #{:s} \"{:s}\" is not a number", key, value.substr(0, 40));
          return 1;
        }
        if (key == "XPERCHAN") perChannel = v;
        if (key == "OFFSET") offset = v;
        if (key == "LIVETIME") out.liveTimeSeconds = v;
        if (key == "REALTIME") out.realTimeSeconds = v;
      } else if (key == "XUNITS") {
        const std::string u = upper(value);
        if (u == "EV") unit = 1e-3;
        else if (u == "KEV") unit = 1.0;
        else {
          CALYX_LOG_ERR("EMSA spectrum: #XUNITS \"{:s}\" is not eV or keV", value.substr(0, 40));
          return 1;
        }
      } else if (key == "DATATYPE") {
        xy = upper(value) == "XY";
      }
      continue;
    }
    if (!inData) continue;
    const std::vector<std::string> f = fields(line);
    double a = 0.0, b = 0.0;
    if (xy) {
      if (f.size() < 2 || !number(f[0], a) || !number(f[1], b)) {
        CALYX_LOG_ERR("EMSA spectrum: line {:d} is not \"x, y\"", n + 1);
        return 1;
      }
      if (!hasX) firstX = a;
      hasX = true;
      counts.push_back(b);
    } else {
      for (const std::string& s : f) {
        if (!number(s, b)) {
          CALYX_LOG_ERR("EMSA spectrum: line {:d}: \"{:s}\" is not a count", n + 1, s.substr(0, 40));
          return 1;
        }
        counts.push_back(b);
      }
    }
    if (counts.size() > kMaxChannels) {
      CALYX_LOG_ERR("EMSA spectrum: more than {:d} channels", kMaxChannels);
      return 1;
    }
  }
  if (!(perChannel > 0)) {
    CALYX_LOG_ERR("EMSA spectrum: #XPERCHAN is missing or not above 0");
    return 1;
  }
  const double first = (hasX ? firstX : offset) * unit;
  return finish("EMSA", first, perChannel * unit, counts, out) ? 0 : 1;
}

// Two columns, energy in keV and counts; '#' starts a comment. The energies must lie on one
// uniform grid.
int readColumns(const std::vector<std::string>& text, MeasuredSpectrum& out) {
  std::vector<double> energies, counts;
  for (std::size_t n = 0; n < text.size(); ++n) {
    std::string line = text[n];
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line = line.substr(0, hash);
    const std::vector<std::string> f = fields(line);
    if (f.empty()) continue;
    double e = 0.0, c = 0.0;
    if (f.size() != 2 || !number(f[0], e) || !number(f[1], c)) {
      CALYX_LOG_ERR("text spectrum: line {:d} is not \"energy counts\"", n + 1);
      return 1;
    }
    if (energies.size() >= kMaxChannels) {
      CALYX_LOG_ERR("text spectrum: more than {:d} channels", kMaxChannels);
      return 1;
    }
    energies.push_back(e);
    counts.push_back(c);
  }
  if (energies.size() < 2) {
    CALYX_LOG_ERR("text spectrum: fewer than two channels");
    return 1;
  }
  const double step = (energies.back() - energies.front()) / static_cast<double>(energies.size() - 1);
  for (std::size_t i = 1; i < energies.size(); ++i)
    if (!(std::fabs(energies[i] - energies[i - 1] - step) <= kStepTolerance * std::fabs(step))) {
      CALYX_LOG_ERR("text spectrum: the energies are not evenly spaced (line {:d})", i + 1);
      return 1;
    }
  return finish("text", energies.front(), step, counts, out) ? 0 : 1;
}

bool isMca(const std::vector<std::string>& text) {
  for (const std::string& line : text) {
    const std::string t = trim(line);
    if (t.empty()) break;
    if (t.find("Energy scale") == 0) return true;
  }
  return false;
}

}  // namespace

int parseSpectrumText(const std::string& text, MeasuredSpectrum& out) {
  MeasuredSpectrum result;
  const std::vector<std::string> all = lines(text);
  std::string firstLine;
  for (const std::string& l : all)
    if (!trim(l).empty()) {
      firstLine = upper(trim(l));
      break;
    }
  int status = 1;
  if (firstLine.find("<<PMCA SPECTRUM>>") == 0) {
    status = readPmca(all, result);
  } else if (firstLine.find("#FORMAT") == 0) {
    status = readEmsa(all, result);
  } else if (isMca(all)) {
    CALYX_LOG_ERR("spectrum text: an MCA file is read from its path (readSpectrumFile)");
    return 1;
  } else {
    status = readColumns(all, result);
  }
  if (status == 0) out = result;
  return status;
}

int readSpectrumFile(const std::string& path, MeasuredSpectrum& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    CALYX_LOG_ERR("cannot open spectrum file {:s}", path);
    return 1;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  if (isMca(lines(text.substr(0, 4096)))) {
    MCAFile file;
    if (MCAFile::load(path, file) != 0 || !file.getSpectrum()) return 1;
    MeasuredSpectrum result;
    result.spectrum = file.getSpectrum();
    result.liveTimeSeconds = file.getLivetime();
    result.format = "mca";
    const double step = result.spectrum->getStepSize(), first = result.spectrum->getFirstEnergy();
    if (result.spectrum->size() == 0) {
      CALYX_LOG_ERR("MCA spectrum {:s}: no channels", path);
      return 1;
    }
    if (!(step > 0) || !std::isfinite(step) || !std::isfinite(first)) {
      CALYX_LOG_ERR("MCA spectrum {:s}: the energy scale (first {:g} keV, step {:g} keV) is not usable", path, first,
                    step);
      return 1;
    }
    for (unsigned int i = 0; i < result.spectrum->size(); ++i)
      if (!(result.spectrum->valueAt(i) >= 0) || !std::isfinite(result.spectrum->valueAt(i))) {
        CALYX_LOG_ERR("MCA spectrum {:s}: channel {:d} holds {:g}", path, i, result.spectrum->valueAt(i));
        return 1;
      }
    out = result;
    return 0;
  }
  const int status = parseSpectrumText(text, out);
  if (status != 0) CALYX_LOG_ERR("spectrum file {:s} could not be read", path);
  return status;
}

}  // namespace calyx
