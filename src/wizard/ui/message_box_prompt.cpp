#include "wizard/ui/message_box_prompt.h"

#include <QMessageBox>
#include <QString>

namespace pelvane::wizard {

using package::PromptAnswer;
using package::PromptButtons;

PromptAnswer MessageBoxPrompt::Ask(const std::string& text, const std::string& caption,
                                   PromptButtons buttons) {
  QMessageBox box(parent_);
  box.setWindowTitle(QString::fromStdString(caption));
  box.setText(QString::fromStdString(text));
  switch (buttons) {
    case PromptButtons::Ok:
      box.setIcon(QMessageBox::Information);
      box.setStandardButtons(QMessageBox::Ok);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Ok);
      break;
    case PromptButtons::OkCancel:
      box.setIcon(QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case PromptButtons::YesNo:
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      // A question whose Yes overwrites data must not be answered by a stray Enter.
      box.setDefaultButton(QMessageBox::No);
      box.setEscapeButton(QMessageBox::No);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Ok:
      return PromptAnswer::Ok;
    case QMessageBox::Yes:
      return PromptAnswer::Yes;
    case QMessageBox::No:
      return PromptAnswer::No;
    default:
      // Closing the box by its frame counts as its escape answer.
      if (buttons == PromptButtons::Ok) return PromptAnswer::Ok;
      return buttons == PromptButtons::YesNo ? PromptAnswer::No : PromptAnswer::Cancel;
  }
}

}  // namespace pelvane::wizard
