#include "WireBytes.h"

#include <cctype>

namespace
{
std::vector<uint8_t> LittleEndian(uint64_t value, int size)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < size; ++i)
    {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

uint64_t FromLittleEndian(const uint8_t* bytes, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
    {
        value = value << 8 | bytes[i];
    }
    return value;
}
} // namespace

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char Digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes)
    {
        text += Digits[byte >> 4];
        text += Digits[byte & 0xF];
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& hex)
{
    std::string digits;
    for (char c : hex)
    {
        if (!std::isspace(static_cast<unsigned char>(c)))
        {
            digits += c;
        }
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
    {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<uint8_t> LE32(uint32_t value)
{
    return LittleEndian(value, 4);
}

std::vector<uint8_t> LE64(uint64_t value)
{
    return LittleEndian(value, 8);
}

uint32_t GetLE32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(FromLittleEndian(bytes, 4));
}

uint64_t GetLE64(const uint8_t* bytes)
{
    return FromLittleEndian(bytes, 8);
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const std::vector<uint8_t>& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
