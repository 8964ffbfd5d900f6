// The wizard's help: an HTML page shipped inside the program, shown in a
// window of its own beside the wizard so that the user can read it while
// following the steps.
#pragma once

#include <QDialog>
#include <QUrl>

class QTextBrowser;

namespace pelvane::wizard {

// The help page inside the program's resources.
inline constexpr const char* kHelpPage = "qrc:/pelvane/help/pelvane.html";

class HelpWindow final : public QDialog {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);

  // Shows the page at the section of the given help number (1010 for the
  // first step up to 1050 for the last); an unknown number shows the top.
  void ShowContext(int helpContext);

  QUrl CurrentUrl() const;
  QString PageText() const;

 private:
  QTextBrowser* browser_;
};

}  // namespace pelvane::wizard
