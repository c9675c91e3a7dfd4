#include "JsonText.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

namespace calyxtool {

namespace {

// Members written first, in this order; the rest follow alphabetically.
const char* const kPreferredKeys[] = {"name",   "sample",      "converged", "passes",  "composition",
                                      "uncertainties", "scatterRate", "beam",  "element", "line",
                                      "rate",   "uncertainty", "measured",  "predicted", "beams",
                                      "lines",  "standards"};

// An object or array of scalars is written on one line when it is this short.
constexpr std::size_t kInlineWidth = 100;

bool isScalar(const Json::Value& v) { return !v.isObject() && !v.isArray(); }

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20)
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        else
          out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string scalarText(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue: return "null";
    case Json::booleanValue: return v.asBool() ? "true" : "false";
    case Json::intValue: return fmt::format("{}", v.asLargestInt());
    case Json::uintValue: return fmt::format("{}", v.asLargestUInt());
    case Json::realValue: {
      const double d = v.asDouble();
      if (!std::isfinite(d)) throw std::runtime_error("a non-finite number cannot be written as JSON");
      return fmt::format("{}", d);  // shortest text that reads back to the same double
    }
    case Json::stringValue: return quote(v.asString());
    default: return "null";
  }
}

std::vector<std::string> orderedKeys(const Json::Value& object) {
  std::vector<std::string> keys = object.getMemberNames();
  auto rank = [](const std::string& k) {
    const auto* end = std::end(kPreferredKeys);
    const auto* it = std::find_if(std::begin(kPreferredKeys), end, [&](const char* p) { return k == p; });
    return static_cast<std::size_t>(it - std::begin(kPreferredKeys));
  };
  std::stable_sort(keys.begin(), keys.end(), [&](const std::string& a, const std::string& b) {
    const std::size_t ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a < b;
  });
  return keys;
}

std::string inlineText(const Json::Value& v) {
  if (isScalar(v)) return scalarText(v);
  std::string out;
  if (v.isArray()) {
    out = "[";
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) out += (i ? ", " : "") + inlineText(v[i]);
    return out + "]";
  }
  out = "{";
  bool first = true;
  for (const std::string& k : orderedKeys(v)) {
    out += (first ? "" : ", ") + quote(k) + ": " + inlineText(v[k]);
    first = false;
  }
  return out + "}";
}

bool fitsInline(const Json::Value& v) {
  if (isScalar(v)) return true;
  for (const Json::Value& m : v)
    if (!isScalar(m)) return false;
  return inlineText(v).size() <= kInlineWidth;
}

void writeValue(const Json::Value& v, int depth, std::string& out) {
  if (fitsInline(v)) {
    out += inlineText(v);
    return;
  }
  const std::string pad(static_cast<std::size_t>(2 * (depth + 1)), ' ');
  const std::string closePad(static_cast<std::size_t>(2 * depth), ' ');
  if (v.isArray()) {
    out += "[\n";
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
      out += pad;
      writeValue(v[i], depth + 1, out);
      out += i + 1 < v.size() ? ",\n" : "\n";
    }
    out += closePad + "]";
    return;
  }
  out += "{\n";
  const std::vector<std::string> keys = orderedKeys(v);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out += pad + quote(keys[i]) + ": ";
    writeValue(v[keys[i]], depth + 1, out);
    out += i + 1 < keys.size() ? ",\n" : "\n";
  }
  out += closePad + "}";
}

}  // namespace

std::string toJsonText(const Json::Value& value) {
  std::string out;
  writeValue(value, 0, out);
  return out + "\n";
}

}  // namespace calyxtool
