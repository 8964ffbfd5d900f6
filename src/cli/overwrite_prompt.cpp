#include "cli/overwrite_prompt.h"

#include <ostream>

#include "cli/json_text.h"
#include "core/text.h"

namespace pelvane::cli {

package::PromptAnswer OverwritePrompt::Ask(const std::string& text, const std::string& caption,
                                           package::PromptButtons buttons) {
  if (buttons != package::PromptButtons::YesNo) {
    io_.err << caption << ": " << ShownText(text) << "\n";
    return package::PromptAnswer::Ok;
  }
  if (options_.dryRun) {
    // The run's answer is for the run; the dry run only tells what it will ask.
    dryRunQuestions_.push_back(text);
    return package::PromptAnswer::Yes;
  }
  if (options_.yes) return package::PromptAnswer::Yes;
  if (io_.inIsTerminal) {
    io_.err << caption << ": " << ShownText(text) << " [y/N] " << std::flush;
    const std::string answer = core::ToUpper(core::Trim(ReadAnswer()));
    if (answer == "Y" || answer == "YES") return package::PromptAnswer::Yes;
  } else {
    refused_ = true;
  }
  return package::PromptAnswer::No;
}

std::string OverwritePrompt::ReadAnswer() {
  return cli::ReadAnswer(io_).value_or("");
}

}  // namespace pelvane::cli
