#include "JsonFile.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "Error.h"
#include "InputFile.h"

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

std::string oneLine(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  // JsonCpp starts each of its messages with "* ".
  std::string cleaned;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '*' && (i == 0 || out[i - 1] == ' ') && i + 1 < out.size() && out[i + 1] == ' ') {
      ++i;
      continue;
    }
    cleaned += out[i];
  }
  return cleaned;
}

Json::Value readJsonFile(const std::string& path) {
  const std::string content = readInputFile(path, "a JSON file");

  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(content.data(), content.data() + content.size(), &root, &errors);
  } catch (const Json::Exception& e) {  // nesting deeper than the reader's stack limit
    errors = e.what();
  }
  if (!parsed) inputError(path, "not valid JSON: " + oneLine(errors));
  return root;
}

std::string jsonTypeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number";
    case Json::stringValue: return "a string";
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
  }
  return "an unknown value";
}

JsonNode::JsonNode(const Json::Value& value, std::string file, std::string path)
    : value_(&value), file_(std::move(file)), path_(std::move(path)) {}

void JsonNode::fail(const std::string& what) const {
  inputError(file_, path_.empty() ? what : path_ + ": " + what);
}

void JsonNode::requireObject() const {
  if (!value_->isObject()) fail("expected an object, found " + jsonTypeName(*value_));
}

void JsonNode::requireArray() const {
  if (!value_->isArray()) fail("expected an array, found " + jsonTypeName(*value_));
}

JsonNode JsonNode::member(const char* key) const {
  requireObject();
  if (!value_->isMember(key)) fail(std::string("missing member \"") + key + "\"");
  return JsonNode((*value_)[key], file_, path_.empty() ? key : path_ + "." + key);
}

JsonNode JsonNode::element(unsigned int index) const {
  requireArray();
  return JsonNode((*value_)[index], file_, path_ + "[" + std::to_string(index) + "]");
}

void JsonNode::allowOnly(std::initializer_list<const char*> keys) const {
  requireObject();
  for (const std::string& name : value_->getMemberNames()) {
    bool known = false;
    for (const char* k : keys) known = known || name == k;
    if (known) continue;
    std::string list;
    for (const char* k : keys) list += std::string(list.empty() ? "" : ", ") + "\"" + k + "\"";
    fail("unknown member \"" + name + "\" (expected " + list + ")");
  }
}

double JsonNode::number() const {
  if (!value_->isNumeric() || value_->isBool()) fail("expected a number, found " + jsonTypeName(*value_));
  const double d = value_->asDouble();
  if (!std::isfinite(d)) fail("the number is not finite");
  return d;
}

std::string JsonNode::string() const {
  if (!value_->isString()) fail("expected a string, found " + jsonTypeName(*value_));
  return value_->asString();
}

int JsonNode::integer() const {
  if (!value_->isInt()) {
    if (value_->isIntegral()) fail("the integer is out of range");
    fail("expected an integer, found " + jsonTypeName(*value_));
  }
  return value_->asInt();
}

std::string toJsonText(const Json::Value& value) {
  std::string out;
  writeValue(value, 0, out);
  return out + "\n";
}

}  // namespace calyxtool
