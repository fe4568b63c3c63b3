#pragma once
// The device configuration image: transfer of the AP's blocks with the image's
// CRC-32 (transfer.h) and the accessors of the fields the pages show and edit
// (layout.h).

#include "layout.h"    // IWYU pragma: export
#include "transfer.h"  // IWYU pragma: export
