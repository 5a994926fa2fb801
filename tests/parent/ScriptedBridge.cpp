// Stands in for the bridge with replies given in its environment, to show the library any bytes:
// the library starts the bridge without arguments but with extra environment entries. The variable
// SCRIPTED_BRIDGE_STEPS holds steps separated by spaces, taken in order:
//   read          reads one 4-byte request code (ends with 0 when its input has closed)
//   hex:<bytes>   writes these bytes, e.g. hex:00000010 for a poll count of 2^28
//   events:<n>    writes n event records of 16 bytes, event i: Steam ID FirstEvent + i, type i % 3,
//                 reason i
//   exit:<hex>    ends at once with this exit status
// After the last step it waits until its input closes, then ends with 0.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

namespace
{
constexpr uint64_t FirstEvent = 76561197960287930ull;
constexpr size_t EventRecordSize = 16;
// Events are written in batches of this many.
constexpr uint32_t EventsPerWrite = 4096;

bool WriteAll(HANDLE output, const std::vector<uint8_t>& bytes)
{
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

std::vector<uint8_t> FromHex(const wchar_t* hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] != L'\0' && hex[i + 1] != L'\0'; i += 2)
    {
        const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
        bytes.push_back(static_cast<uint8_t>(std::wcstoul(pair, nullptr, 16)));
    }
    return bytes;
}

void PutLE(std::vector<uint8_t>& out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

bool WriteEvents(HANDLE output, uint32_t count)
{
    std::vector<uint8_t> batch;
    for (uint32_t i = 0; i < count; ++i)
    {
        PutLE(batch, FirstEvent + i, 8);
        PutLE(batch, i % 3, 4);
        PutLE(batch, i, 4);
        if (batch.size() == EventsPerWrite * EventRecordSize || i + 1 == count)
        {
            if (!WriteAll(output, batch))
            {
                return false;
            }
            batch.clear();
        }
    }
    return true;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}
} // namespace

int main()
{
    wchar_t steps[4096] = L"";
    if (GetEnvironmentVariableW(L"SCRIPTED_BRIDGE_STEPS", steps, sizeof(steps) / sizeof(steps[0])) == 0)
    {
        return 2;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    uint8_t code[4];
    DWORD read = 0;
    std::wistringstream script(steps);
    std::wstring word;
    while (script >> word)
    {
        const wchar_t* step = word.c_str();
        if (std::wcscmp(step, L"read") == 0)
        {
            if (!ReadFile(input, code, sizeof(code), &read, nullptr) || read == 0)
            {
                return 0;
            }
        }
        else if (StartsWith(step, L"hex:"))
        {
            WriteAll(output, FromHex(step + 4));
        }
        else if (StartsWith(step, L"events:"))
        {
            WriteEvents(output, static_cast<uint32_t>(std::wcstoul(step + 7, nullptr, 10)));
        }
        else if (StartsWith(step, L"exit:"))
        {
            return static_cast<int>(std::wcstoul(step + 5, nullptr, 16));
        }
        else
        {
            return 2;
        }
    }
    while (ReadFile(input, code, sizeof(code), &read, nullptr) && read > 0)
    {
    }
    return 0;
}
