// Loading a window's texts from the numbered texts by tag. A widget's tag is
// its dynamic property "tag"; a tooltip that is a number is replaced by the
// text of that number too.
#pragma once

class QWidget;

namespace pelvane::wizard {

inline constexpr const char* kTagProperty = "tag";

// The window's own caption from its tag, then every child: the caption from
// the continued text of its tag (buttons, labels, group boxes), and a numeric
// tooltip from the text of that number as it stands. Widgets without a
// caption (frames, lists) are skipped.
void LoadCaptions(QWidget* window);

}  // namespace pelvane::wizard
