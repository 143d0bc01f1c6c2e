// Links: the one question about a target that touches the disk. The pure questions
// (addresses, "~", resolution, folding) live in site/site_path.h.
#pragma once

#include "base/base_strings.h"

// Whether the resolved target exists (a folder counts).
bool link_target_exists(StrView resolved);
