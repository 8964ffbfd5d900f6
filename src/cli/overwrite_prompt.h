// Answers the controller's questions: on a terminal by asking, otherwise from
// the options (an existing download file is kept unless --yes).
#pragma once

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "package/prompt.h"

namespace pelvane::cli {

class OverwritePrompt final : public package::QN_Prompt {
 public:
  OverwritePrompt(const CliOptions& options, CliStreams& io) : options_(options), io_(io) {}

  package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                            package::PromptButtons buttons) override;

  // True when a question had to be answered "no" because nobody could be
  // asked (standard input is no terminal and --yes was not given).
  bool Refused() const { return refused_; }
  // A dry run asks nobody: each file a run would ask about, in order.
  const std::vector<std::string>& DryRunQuestions() const { return dryRunQuestions_; }

 private:
  // A line from the user; empty when a cancellation came first (Ctrl-C at
  // the question ends the run at once, not after Enter).
  std::string ReadAnswer();

  const CliOptions& options_;
  CliStreams& io_;
  bool refused_ = false;
  std::vector<std::string> dryRunQuestions_;
};

}  // namespace pelvane::cli
