#include "JsonFile.h"

#include <memory>

#include "Error.h"
#include "InputFile.h"

namespace calyxtool {

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

}  // namespace calyxtool
