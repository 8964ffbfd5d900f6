#include "wizard/ui/caption_loader.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QVariant>
#include <QWidget>

#include "wizard/logic/resource_strings.h"

namespace pelvane::wizard {

namespace {

bool TagNumber(const QWidget* widget, int* id) {
  const QVariant tag = widget->property(kTagProperty);
  if (!tag.isValid()) return false;
  return ParseResourceTag(tag.toString().toStdString(), id);
}

void SetCaption(QWidget* widget, const QString& text) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget))
    button->setText(text);
  else if (auto* label = qobject_cast<QLabel*>(widget))
    label->setText(text);
  else if (auto* box = qobject_cast<QGroupBox*>(widget))
    box->setTitle(text);
}

}  // namespace

void LoadCaptions(QWidget* window) {
  int id = 0;
  if (TagNumber(window, &id)) window->setWindowTitle(QString::fromStdString(LoadResString(id)));
  for (QWidget* child : window->findChildren<QWidget*>()) {
    if (TagNumber(child, &id)) SetCaption(child, QString::fromStdString(LoadResString(id)));
    if (ParseResourceTag(child->toolTip().toStdString(), &id) && HasResourceString(id))
      child->setToolTip(QString::fromStdString(std::string(ResourceString(id))));
  }
}

}  // namespace pelvane::wizard
