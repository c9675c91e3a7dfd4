#include "calyx/MCAFile.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <locale>
#include <vector>

#include "detail/Log.h"

namespace calyx {
namespace {

constexpr const char* kOffsetKey = "Energy scale offset";
constexpr const char* kSlopeKey = "Energy scale slope";
constexpr const char* kLivetimeKey = "Livetime";
constexpr const char* kWhiteSpace = " \t\n\v\f\r";
constexpr double kEVPerKeV = 1000.0;
// The channel count only sizes the first allocation; a larger count (a corrupt or hostile
// file) must not reserve gigabytes up front. The values vector still grows past this.
constexpr unsigned long kMaxReservedChannels = 1ul << 20;
// A spectrum's buffer is sized in bytes by an unsigned int: more values do not fit.
constexpr std::size_t kMaxChannels = std::numeric_limits<unsigned int>::max() / sizeof(double);
// Enough significant digits to give back every single-precision value exactly on reading.
constexpr int kWrittenDigits = std::numeric_limits<float>::max_digits10;

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

// The longest decimal prefix (0 when there is none), rounded to single precision as the
// instrument's numbers are.
double parseSingle(const std::string& text) {
  return static_cast<double>(static_cast<float>(std::strtod(text.c_str(), nullptr)));
}

// An unsigned decimal count after optional leading blanks; text after it is ignored.
// A sign is not a count: strtoul would turn "-1" into the largest unsigned value.
bool parseCount(const std::string& line, unsigned long& count) {
  std::size_t i = 0;
  while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
  if (i == line.size() || !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  count = std::strtoul(line.c_str() + i, nullptr, 10);  // saturates on overflow
  return true;
}

// Why the header line "key = value" would not read back as this entry, or null when it does:
// reading splits at the first "=" and trims white space from both sides, and a line break
// ends the line (an empty line ends the header).
const char* unwritableEntry(const std::string& key, const std::string& value) {
  if (key.find_first_of("\n\r") != std::string::npos) return "the key holds a line break";
  if (value.find_first_of("\n\r") != std::string::npos) return "the value holds a line break";
  if (key.find('=') != std::string::npos) return "the key holds \"=\"";
  if (trim(key) != key) return "the key has white space at an end";
  if (trim(value) != value) return "the value has white space at an end";
  return nullptr;
}

// The text with its line breaks shown as \n and \r, for a one-line message.
std::string escapedBreaks(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

}  // namespace

int MCAFile::load(const char* path, MCAFile& target) {
  if (path == nullptr) {
    CALYX_LOG_ERR("cannot load MCA file: the path is null");
    return 1;
  }
  return load(std::string(path), target);
}

int MCAFile::write(const char* path) const {
  if (path == nullptr) {
    CALYX_LOG_ERR("cannot write MCA file: the path is null");
    return 1;
  }
  return write(std::string(path));
}

int MCAFile::load(const std::string& path, MCAFile& target) {
  // A file that cannot be opened reads as an empty one.
  std::ifstream in(path);
  std::vector<double> values;
  bool inHeader = true;
  std::string line;
  while (std::getline(in, line)) {
    const std::string trimmed = trim(line);
    if (!inHeader) {
      if (values.size() == kMaxChannels) {
        CALYX_LOG_ERR("too many channel values in {}: at most {} fit in a spectrum", path,
                      kMaxChannels);
        return 1;
      }
      values.push_back(parseSingle(trimmed));
      continue;
    }
    if (!trimmed.empty()) {
      const std::size_t equals = trimmed.find('=');
      if (equals != std::string::npos)
        target.metadata_[trim(trimmed.substr(0, equals))] = trim(trimmed.substr(equals + 1));
      continue;
    }
    // An empty line ends the header; the channel count follows.
    if (!std::getline(in, line)) break;
    unsigned long count = 0;
    if (!parseCount(line, count)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // CR of a CRLF line end
      CALYX_LOG_ERR("could not parse num of bins: {}", line);
      return 1;
    }
    values.reserve(count < kMaxReservedChannels ? count : kMaxReservedChannels);
    inHeader = false;
  }

  const auto offset = target.metadata_.find(kOffsetKey);
  const auto slope = offset == target.metadata_.end() ? target.metadata_.end()
                                                      : target.metadata_.find(kSlopeKey);
  if (slope == target.metadata_.end()) {
    CALYX_LOG_ERR("could not find offset and slope metadata");
    return 1;
  }
  // The energy scale is kept in eV in the file and in keV in the spectrum.
  const double offsetKeV = parseSingle(offset->second) / kEVPerKeV;
  const double slopeKeV = parseSingle(slope->second) / kEVPerKeV;
  // A scale without a width per channel, or counts that are not numbers, would carry zero
  // widths or NaN into every sum and fit made from the spectrum.
  if (!std::isfinite(offsetKeV) || !std::isfinite(slopeKeV) || slopeKeV == 0.0) {
    CALYX_LOG_ERR("unusable energy scale in {}: offset \"{}\", slope \"{}\" (eV; the slope must be a finite "
                  "number other than 0)",
                  path, offset->second, slope->second);
    return 1;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      CALYX_LOG_ERR("channel {} of {} is not a finite number of counts: {}", i, path, values[i]);
      return 1;
    }
  }
  target.spectrum_ = std::make_shared<LinearSpectrum<double>>(offsetKeV, slopeKeV, values);
  return 0;
}

int MCAFile::write(const std::string& path) const {
  if (!spectrum_) {
    CALYX_LOG_ERR("cannot write MCA file {}: the object holds no spectrum", path);
    return 1;
  }
  // Checked before the file is opened, so that a refusal leaves an existing file as it was.
  for (const auto& entry : metadata_) {
    if (const char* reason = unwritableEntry(entry.first, entry.second)) {
      CALYX_LOG_ERR("cannot write MCA file {}: metadata entry \"{}\": {}", path, escapedBreaks(entry.first),
                    reason);
      return 1;
    }
  }
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out) {
    CALYX_LOG_ERR("cannot create MCA file {}", path);
    return 1;
  }
  // Numbers in the C locale whatever the host's global locale: no digit grouping.
  out.imbue(std::locale::classic());
  out.precision(kWrittenDigits);

  for (const auto& entry : metadata_) out << entry.first << " = " << entry.second << '\n';
  out << kOffsetKey << " = " << spectrum_->getFirstEnergy() * kEVPerKeV << '\n';
  out << kSlopeKey << " = " << spectrum_->getStepSize() * kEVPerKeV << '\n';
  out << '\n';
  const unsigned int size = spectrum_->size();
  out << size << '\n';
  for (unsigned int i = 0; i < size; ++i) out << spectrum_->valueAt(i) << '\n';
  out.close();
  if (out.fail()) {
    CALYX_LOG_ERR("could not write MCA file {} completely", path);
    return 1;
  }
  return 0;
}

void MCAFile::setSpectrum(const LinearSpectrum<double>& spectrum) {
  spectrum_ = std::make_shared<LinearSpectrum<double>>(spectrum);
}

void MCAFile::setMetadata(const std::string& key, const std::string& value) {
  metadata_[key] = value;
}

double MCAFile::getLivetime() const {
  const auto it = metadata_.find(kLivetimeKey);
  return it == metadata_.end() ? -1.0 : parseSingle(it->second);
}

}  // namespace calyx
