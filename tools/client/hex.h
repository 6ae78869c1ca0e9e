// Intel HEX firmware files flattened into the image the bridge's firmware
// download takes: the bytes from address 0 up to the last byte any record
// places, gaps filled with zeros, at most 64 KiB.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ovra {

constexpr uint32_t kFirmwareSpace = 64 * 1024;

// Parses HEX text. Data (00) and end-of-file (01) records place bytes;
// extended segment (02) and linear (04) address records move the base;
// start-address records (03, 05) carry nothing for the image and are
// skipped. A record that would reach past 64 KiB, overlaps bytes an earlier
// record placed, has another type, a bad checksum or bad digits, or a file
// without an end record, is refused: false, with "line N: reason" in `error`.
bool ParseIntelHex(std::string_view text, std::vector<uint8_t>* image, std::string* error);
// Reads and parses a file; the error names the file.
bool LoadIntelHex(const std::string& path, std::vector<uint8_t>* image, std::string* error);

}  // namespace ovra
