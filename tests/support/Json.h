// JSON documents in tests, parsed with JsonCpp (comments skipped, as the library reads its
// files): a text that is not valid JSON fails the calling test, with JsonCpp's message.
#ifndef CALYX_TESTS_SUPPORT_JSON_H
#define CALYX_TESTS_SUPPORT_JSON_H

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/Files.h"

namespace calyx {
namespace testing {

inline Json::Value parseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::istringstream in(text);
  Json::Value root;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &root, &errors)) << errors << "\n" << text;
  return root;
}

inline Json::Value readJsonFile(const std::string& path) { return parseJson(readFile(path)); }

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_JSON_H
