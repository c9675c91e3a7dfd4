// calyx: the command-line front end of the Calyx XRF quantification library.
#include <cstdio>
#include <exception>
#include <vector>

#include <CLI/CLI.hpp>
#include <json/json.h>

#include <calyx/version.h>

#include "Commands.h"
#include "Error.h"
#include "JsonFile.h"
#include "LibraryLog.h"

namespace calyxtool {

void emit(const std::string& path, const std::string& text) {
  if (path.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  } else {
    writeFileAtomically(path, text);
  }
}

}  // namespace calyxtool

int main(int argc, char** argv) {
  using namespace calyxtool;
  CLI::App app{
      "X-ray fluorescence quantification by fundamental parameters, on the Calyx library.\n"
      "Exit status: 0 success, 2 bad input (a one-line message names the file and the fault),\n"
      "3 quantify did not converge (its result is still printed), 1 an internal failure.",
      "calyx"};
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's progress and numeric traces on standard error");
  app.set_version_flag("--version", calyx::versionString());
  app.require_subcommand(1);
  app.fallthrough();

  std::vector<Command> commands = {addSimulateCommand(app), addCalibrateCommand(app), addQuantifyCommand(app),
                                   addTubeCommand(app), addMcaCommand(app), addFitCommand(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitBadInput;
  }

  installLibraryLog(verbose);
  for (const Command& command : commands) {
    if (!command.app->parsed()) continue;
    try {
      return command.run();
    } catch (const InputError& e) {
      std::fprintf(stderr, "calyx: %s\n", e.what());
      return kExitBadInput;
    } catch (const Json::Exception& e) {
      std::fprintf(stderr, "calyx: internal error: unexpected JSON failure: %s\n", oneLine(e.what()).c_str());
      return kExitFailure;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "calyx: internal error: %s\n", e.what());
      return kExitFailure;
    }
  }
  return kExitFailure;
}
