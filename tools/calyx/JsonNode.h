// A value inside one of the tool's JSON files, with its path, for messages that name the file
// and the member at fault.
#ifndef CALYX_TOOL_JSONNODE_H
#define CALYX_TOOL_JSONNODE_H

#include <initializer_list>
#include <string>

#include <json/json.h>

namespace calyxtool {

/// "a number", "a string", "an object", ... for messages.
std::string jsonTypeName(const Json::Value& value);

/// A value inside a file, with its path ("beams[0].lines[2].rate") for messages. Every
/// accessor checks the JSON type first, so JsonCpp never throws from here.
class JsonNode {
 public:
  JsonNode(const Json::Value& value, std::string file, std::string path = "");

  const Json::Value& value() const { return *value_; }
  const std::string& file() const { return file_; }
  const std::string& path() const { return path_; }

  bool isObject() const { return value_->isObject(); }
  bool isArray() const { return value_->isArray(); }
  bool has(const char* key) const { return value_->isObject() && value_->isMember(key); }

  /// The member `key`; InputError when it is absent (the node must be an object).
  JsonNode member(const char* key) const;
  JsonNode element(unsigned int index) const;
  unsigned int size() const { return value_->size(); }

  void requireObject() const;
  void requireArray() const;
  /// Rejects members other than `keys` (a misspelt key is an error, not a silent default).
  void allowOnly(std::initializer_list<const char*> keys) const;

  double number() const;        ///< a finite JSON number
  std::string string() const;   ///< a JSON string
  int integer() const;          ///< a JSON integer within int

  /// Throws InputError "file: path: what".
  [[noreturn]] void fail(const std::string& what) const;

 private:
  const Json::Value* value_;
  std::string file_;
  std::string path_;
};

}  // namespace calyxtool

#endif  // CALYX_TOOL_JSONNODE_H
