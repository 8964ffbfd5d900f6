// Questions and messages for the user. The wizard answers them with message
// boxes, the command-line runner on its terminal or from its options, and
// tests answer them directly, so that no controller code needs a GUI.
#pragma once

#include <string>

namespace pelvane::package {

enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };

class QN_Prompt {
 public:
  virtual ~QN_Prompt() = default;
  virtual PromptAnswer Ask(const std::string& text, const std::string& caption,
                           PromptButtons buttons) = 0;
};

}  // namespace pelvane::package
