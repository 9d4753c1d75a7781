// Restores one compressed file into another, with the file handling a careful tool needs: the
// destination is never the source, and a failed write leaves no incomplete file behind.
#pragma once

#include "ravmolt/decode_status.h"

namespace ravmolt {

// Opens `sourcePath` for reading, then creates or truncates `destinationPath`, decodes, and closes
// both. On invalidFormat the destination is left empty; on writeFailed it is removed when it is a
// regular file (never a device or anything else). The source is never written.
DecodeStatus decodeFile(const char* sourcePath, const char* destinationPath);

}  // namespace ravmolt
