// The windows-and-views port in one include: windows and panels, views and their layers,
// visual-effect views, buttons, images, animations and the UserInterface backend interface.
#pragma once

#include "platform/ui/animation.h"      // IWYU pragma: export
#include "platform/ui/button.h"         // IWYU pragma: export
#include "platform/ui/form_window.h"    // IWYU pragma: export
#include "platform/ui/image.h"          // IWYU pragma: export
#include "platform/ui/menu.h"           // IWYU pragma: export
#include "platform/ui/ui_types.h"       // IWYU pragma: export
#include "platform/ui/user_interface.h" // IWYU pragma: export
#include "platform/ui/video_view.h"     // IWYU pragma: export
#include "platform/ui/view.h"           // IWYU pragma: export
#include "platform/ui/visual_effect_view.h"  // IWYU pragma: export
#include "platform/ui/window.h"         // IWYU pragma: export
