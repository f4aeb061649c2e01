// CRC-32C (Castagnoli), the checksum of every journal record: it tells a record
// that was written whole from one torn by a crash or never written at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace disk_tools {

// The CRC-32C of the n bytes at data, continued from crc (0 to start).
std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t n);

}  // namespace disk_tools
