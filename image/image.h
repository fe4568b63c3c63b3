#pragma once
// The device configuration image: the AP's blocks as kept here (buffers.h), the
// image's CRC-32 (checksum.h), their transfer (transfer.h) and the accessors of
// the fields the pages show and edit (layout.h).

#include "image/buffers.h"   // IWYU pragma: export
#include "image/checksum.h"  // IWYU pragma: export
#include "image/layout.h"    // IWYU pragma: export
#include "image/transfer.h"  // IWYU pragma: export
