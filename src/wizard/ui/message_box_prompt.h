// Questions to the user as message boxes, parented to the wizard window.
#pragma once

#include "package/prompt.h"

class QWidget;

namespace pelvane::wizard {

class MessageBoxPrompt final : public package::QN_Prompt {
 public:
  explicit MessageBoxPrompt(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                            package::PromptButtons buttons) override;

 private:
  QWidget* parent_;
};

}  // namespace pelvane::wizard
