#include "wizard/ui/help_window.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace pelvane::wizard {

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent), browser_(new QTextBrowser(this)) {
  setObjectName("frmHelp");
  setWindowTitle("Pelvane Wizard Help");
  setModal(false);
  browser_->setObjectName("txtHelp");
  browser_->setOpenExternalLinks(true);
  browser_->setSource(QUrl(kHelpPage));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(browser_);
  layout->addWidget(buttons);
  resize(560, 620);
}

void HelpWindow::ShowContext(int helpContext) {
  QUrl url(kHelpPage);
  url.setFragment(QString("step%1").arg(helpContext));
  browser_->setSource(url);
  show();
  raise();
  activateWindow();
}

QUrl HelpWindow::CurrentUrl() const {
  return browser_->source();
}

QString HelpWindow::PageText() const {
  return browser_->toPlainText();
}

}  // namespace pelvane::wizard
