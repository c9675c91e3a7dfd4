// Reading the tool's JSON files; their values are walked through JsonNode.h, which names the
// file and the member at fault. JSON text is written by JsonText.h.
#ifndef CALYX_TOOL_JSONFILE_H
#define CALYX_TOOL_JSONFILE_H

#include <string>

#include <json/json.h>

#include "FrontEnd.h"
#include "JsonNode.h"

namespace calyxtool {

/// Parses `path` (comments allowed, duplicate keys rejected), read as InputFile.h reads every
/// input. Throws InputError naming the file when it cannot be read or is not JSON.
Json::Value readJsonFile(const std::string& path);

using calyxhost::oneLine;

}  // namespace calyxtool

#endif  // CALYX_TOOL_JSONFILE_H
