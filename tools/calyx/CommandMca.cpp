// calyx mca: an MCA spectrum file's metadata, live time, channel count and energy range,
// or its channels as energy,counts.
#include <cmath>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <calyx/MCAFile.h>

#include "Commands.h"
#include "Error.h"
#include "InputFile.h"
#include "LibraryLog.h"

namespace calyxtool {

namespace {

struct McaOptions {
  std::string file;
  bool csv = false;
};

int runMca(const McaOptions& o) {
  // The checks every input passes (a regular file within the size limit); the library then
  // reads the file by name.
  readInputFile(o.file, "an MCA file");

  calyx::MCAFile mca;
  {
    LibraryErrors errors;
    if (calyx::MCAFile::load(o.file, mca) != 0 || !mca.getSpectrum())
      inputError(o.file, "not a readable MCA file: " + (errors.any() ? errors.text() : "no spectrum"));
  }
  const calyx::LinearSpectrum<double>& s = *mca.getSpectrum();
  if (o.csv) {
    std::string out = "energy_keV,counts\n";
    for (unsigned int i = 0; i < s.size(); ++i) out += fmt::format("{},{}\n", s.energyAt(i), s.valueAt(i));
    emit("", out);
    return kExitOk;
  }
  double total = 0;
  for (unsigned int i = 0; i < s.size(); ++i) total += s.valueAt(i);
  std::string out = fmt::format("file         {}\nchannels     {}\n", o.file, s.size());
  if (s.size() > 0)
    out += fmt::format("energy       {:.4f} to {:.4f} keV, {:.4f} keV per channel\n", s.energyAt(0),
                       s.energyAt(s.size() - 1), s.getStepSize());
  const double live = mca.getLivetime();
  const auto liveEntry = mca.getMetadata().find("Livetime");
  if (liveEntry == mca.getMetadata().end())
    out += "live time    not given (no \"Livetime\" entry)\n";
  else if (!(live >= 0) || !std::isfinite(live))
    out += fmt::format("live time    not usable (\"Livetime = {}\": a time is a finite number of 0 or more)\n",
                       liveEntry->second);
  else
    out += fmt::format("live time    {:g}\n", live);
  out += fmt::format("total counts {:g}\n\nmetadata\n", total);
  for (const auto& kv : mca.getMetadata()) out += fmt::format("  {} = {}\n", kv.first, kv.second);
  emit("", out);
  return kExitOk;
}

}  // namespace

Command addMcaCommand(CLI::App& app) {
  auto o = std::make_shared<McaOptions>();
  CLI::App* sub =
      app.add_subcommand("mca", "Show an MCA spectrum file: metadata, live time, channel count and energy range.");
  sub->add_option("FILE", o->file, "MCA text file")->required();
  sub->add_flag("--csv", o->csv, "Print the channels as energy_keV,counts instead");
  return Command{sub, [o] { return runMca(*o); }};
}

}  // namespace calyxtool
