// The four pictures of the transfer animation on the upload step: the
// computer, the instrument, and a block of data on its way along the cable.
// Drawn at run time so that they scale with the screen and need no files.
#pragma once

#include <QPixmap>
#include <array>

#include "upload/upload_view.h"

namespace pelvane::wizard {

using AnimationFrames = std::array<QPixmap, upload::kAnimationFrames>;

// Frame i shows the block at position i of the way from the computer to the
// instrument; a reverse animation plays them backwards.
AnimationFrames DrawTransferFrames(int width = 160, int height = 64);

}  // namespace pelvane::wizard
