#include "JsonNode.h"

#include <cmath>
#include <utility>

#include "Error.h"

namespace calyxtool {

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

}  // namespace calyxtool
