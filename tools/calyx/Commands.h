// The subcommands of `calyx`. Each adds its options to the application and returns the
// function that runs it once the command line is parsed; that function returns the exit
// status and throws InputError for bad input.
#ifndef CALYX_TOOL_COMMANDS_H
#define CALYX_TOOL_COMMANDS_H

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace calyxtool {

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

Command addSimulateCommand(CLI::App& app);
Command addCalibrateCommand(CLI::App& app);
Command addQuantifyCommand(CLI::App& app);
Command addTubeCommand(CLI::App& app);
Command addMcaCommand(CLI::App& app);
Command addFitCommand(CLI::App& app);

/// Writes `text` to the output `path` (OutputFile.h); an empty path is standard output.
void emit(const std::string& path, const std::string& text);

}  // namespace calyxtool

#endif  // CALYX_TOOL_COMMANDS_H
