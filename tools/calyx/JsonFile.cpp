#include "JsonFile.h"

#include <memory>

#include "Error.h"
#include "InputFile.h"

namespace calyxtool {

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

}  // namespace calyxtool
