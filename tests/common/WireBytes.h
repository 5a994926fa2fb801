// Bytes as the tests build and compare them: little-endian fields, hex text, requests in one piece.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Lower-case hex, two digits a byte, no separators.
std::string Hex(const std::vector<uint8_t>& bytes);
// The bytes of hex text; spaces and line breaks between bytes are ignored.
std::vector<uint8_t> FromHex(const std::string& hex);

std::vector<uint8_t> LE32(uint32_t value);
std::vector<uint8_t> LE64(uint64_t value);
uint32_t GetLE32(const uint8_t* bytes);
uint64_t GetLE64(const uint8_t* bytes);
std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts);
