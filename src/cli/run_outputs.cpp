#include "cli/run_outputs.h"

namespace pelvane::cli {

namespace {

// How the runner's own records begin: a report with its tool, a trace with
// the run's command line ("     0.000012 run: pelvane-cli 1.4.0 --package ...").
constexpr std::string_view kReportStart = "{\n  \"tool\": \"pelvane-cli ";
constexpr std::string_view kTraceRun = " run: pelvane-cli ";

// An empty file, or one the runner wrote as the same kind of record: a new
// run's record may take its place without a question.
bool EarlierRecord(const RunOutput& output) {
  std::vector<std::uint8_t> start;
  if (core::ReadFileStart(output.path, 64, &start) != core::ReadOutcome::kRead) return false;
  const std::string text(start.begin(), start.end());
  if (text.empty()) return true;
  if (output.option == "--report") return text.starts_with(kReportStart);
  const std::string firstLine = text.substr(0, text.find('\n'));
  const std::size_t run = firstLine.find(kTraceRun);
  return run != std::string::npos &&
         firstLine.find_first_not_of(" 0123456789.") == run + 1;  // the time stamp before it
}

}  // namespace

std::string CheckRunOutputs(const std::string& package, std::vector<RunOutput*> outputs) {
  std::erase_if(outputs, [](const RunOutput* output) { return output->path.empty(); });
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    RunOutput& output = *outputs[i];
    if (core::SameFile(output.path, package))
      return output.option + " " + output.path + " names the package itself";
    for (std::size_t j = 0; j < i; ++j)
      if (core::SameOutput(output.path, outputs[j]->path))
        return outputs[j]->option + " and " + output.option + " name the same file " + output.path;
    if (const std::string problem = core::OutputProblem(output.path); !problem.empty())
      return "cannot write the " + output.what + " " + output.path + ": " + problem;
    const bool exists = core::KindOf(output.path) != core::FileKind::kMissing;
    const bool earlier = exists && EarlierRecord(output);
    output.overwrite = earlier ? core::Overwrite::kAgreed : core::Overwrite::kNever;
    output.ask = exists && !earlier;
  }
  return {};
}

std::string SettleRunOutputs(const std::vector<RunOutput*>& outputs,
                             const std::vector<std::string>& readBacks,
                             package::QN_Prompt& prompt) {
  for (const RunOutput* output : outputs) {
    if (output->path.empty()) continue;
    for (const std::string& readBack : readBacks)
      if (core::SameOutput(output->path, readBack))
        return output->option + " " + output->path +
               " names a file the package reads back from the instrument (" + readBack + ")";
  }
  // Questions last, so that nobody is asked about a run that is refused anyway.
  for (RunOutput* output : outputs) {
    if (output->path.empty() || !output->ask) continue;
    if (prompt.Ask("File Exists ! :\n" + output->path + "\n Do you want to overwite the file?",
                   "Pelvane " + output->what,
                   package::PromptButtons::YesNo) != package::PromptAnswer::Yes)
      return output->option + " " + output->path + " names a file that is no " + output->what +
             " of pelvane-cli; it is kept (--yes replaces it)";
    output->overwrite = core::Overwrite::kAgreed;
    output->ask = false;
  }
  return {};
}

}  // namespace pelvane::cli
