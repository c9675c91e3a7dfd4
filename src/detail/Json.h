// The one JSON-reading helper of the configuration and calibration readers.
#ifndef CALYX_DETAIL_JSON_H
#define CALYX_DETAIL_JSON_H

#include <istream>
#include <string>

#include <json/json.h>

namespace calyx {
namespace detail {

/// Parses a JSON document with JsonCpp's defaults but "collectComments" false (comments are
/// accepted and skipped). Returns false with JsonCpp's error text in `errors`, also where
/// JsonCpp throws instead of reporting (nesting deeper than its stack limit of 1000).
inline bool parseJson(std::istream& in, Json::Value& root, std::string& errors) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  try {
    return Json::parseFromStream(builder, in, &root, &errors);
  } catch (const Json::RuntimeError& e) {
    errors = std::string("not valid JSON: ") + e.what();
    return false;
  }
}

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_JSON_H
