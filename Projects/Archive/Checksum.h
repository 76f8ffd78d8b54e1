#pragma once

// CRC-32 as zlib and PNG compute it (reflected polynomial EDB88320, register and result
// inverted): the checksum of the journal's header and records. Not installed.

#include <QtGlobal>

namespace Kest::Ar {

// The CRC-32 of `length` bytes, continued from `crc` (the CRC-32 of the bytes before them; 0
// to start).
quint32 crc32(const char* data, qint64 length, quint32 crc = 0);

} // namespace Kest::Ar
