// calyx: the command-line front end of the Calyx XRF quantification library.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <CLI/CLI.hpp>
#include <json/json.h>

#include <calyx/version.h>

#include "Commands.h"
#include "Error.h"
#include "JsonFile.h"
#include "LibraryLog.h"
#include "OutputFile.h"

namespace calyxtool {

void emit(const std::string& path, const std::string& text) { writeOutput(path, text); }

namespace {

// A result that never reached standard output (a full disk, a closed pipe) is a failure,
// whatever the command returned.
int finish(int status) {
  if (finishStandardOutput()) return status;
  const int error = errno;
  std::fprintf(stderr, "calyx: cannot write standard output%s%s\n", error ? ": " : "",
               error ? std::strerror(error) : "");
  return status == kExitBadInput ? status : kExitFailure;
}

int runCommand(const Command& command) {
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

}  // namespace

}  // namespace calyxtool

int main(int argc, char** argv) {
  using namespace calyxtool;
  CLI::App app{
      "X-ray fluorescence quantification by fundamental parameters, on the Calyx library.\n"
      "Exit status: 0 success, 2 bad input (a one-line message names the file and the fault),\n"
      "3 quantify did not converge (its result is still printed, unless no line could be corrected or the\n"
      "iteration diverged), 1 an internal failure.",
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
    return finish(status == 0 ? kExitOk : kExitBadInput);
  }

  installLibraryLog(verbose);
  for (const Command& command : commands) {
    if (command.app->parsed()) return finish(runCommand(command));
  }
  return kExitFailure;
}
