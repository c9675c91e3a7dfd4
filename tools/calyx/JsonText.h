// Writing JSON text for the tool's outputs (the files themselves go through OutputFile.h).
#ifndef CALYX_TOOL_JSONTEXT_H
#define CALYX_TOOL_JSONTEXT_H

#include <string>

#include <json/json.h>

namespace calyxtool {

/// JSON text with members in a readable order ("name", "composition", "element", "line",
/// "rate" first), objects of scalars on one line, and numbers in their shortest form that
/// reads back to the same double.
std::string toJsonText(const Json::Value& value);

}  // namespace calyxtool

#endif  // CALYX_TOOL_JSONTEXT_H
