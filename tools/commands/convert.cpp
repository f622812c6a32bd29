// timetree convert: a run (or combined file) in the formats other tools
// read. Each writer walks the tree without recursion, so any depth works; a
// combined file gives each path's mean over its sources (counts summed).
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "runformat/text.h"
#include "formats/formats.h"
#include "lib/run.h"

namespace timetree_cli {

namespace {

struct ConvertOptions {
  std::string run;
  std::string to;      // pprof, hatchet, caliper-json-split, benchmark, speedscope
  std::string output;  // "-": standard output
};

}  // namespace

int Convert(const ConvertOptions& options) {
  const auto run = ReadRun(options.run);
  std::string text;
  if (options.to == "hatchet") {
    text = Hatchet(*run);
  } else if (options.to == "caliper-json-split") {
    text = CaliperSplit(*run);
  } else if (options.to == "benchmark") {
    text = Benchmark(*run);
  } else if (options.to == "pprof") {
    text = Pprof(*run);
  } else {
    text = Speedscope(*run);
  }
  WriteFile(options.output, text);
  return 0;
}

Subcommand AddConvert(CLI::App& app) {
  auto options = std::make_shared<ConvertOptions>();
  ConvertOptions& convert = *options;
  auto* convert_cmd = app.add_subcommand(
      "convert", "A run (or combined file) in the format of another tool: pprof (a gzipped "
                 "profile.proto: go tool pprof -top), hatchet (Hatchet's literal form), "
                 "caliper-json-split (as Hatchet and Thicket read Caliper's output), benchmark "
                 "(for CI benchmark dashboards), speedscope.");
  convert_cmd->add_option("RUN.json", convert.run, "The run")->required();
  convert_cmd->add_option("--to", convert.to, "The format")
      ->required()
      ->check(CLI::IsMember({"pprof", "hatchet", "caliper-json-split", "benchmark", "speedscope"}));
  convert_cmd->add_option("-o,--output", convert.output, "The file to write; - for standard output")
      ->required();
  convert_cmd->footer("Examples: timetree convert run.json --to speedscope -o run.speedscope.json\n"
                      "          timetree convert run.json --to benchmark -o -");
  return {convert_cmd, [options] {
    const ConvertOptions& convert = *options;
    return Convert(convert);
  }};
}

}  // namespace timetree_cli
