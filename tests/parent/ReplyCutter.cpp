// Stands in for a bridge that writes a reply in pieces: for each 4 bytes it reads it writes the next
// piece of one Authenticate reply (accepted, Steam ID 76561197960287930): 5 bytes, then the other 7.
// It ends when its input closes. Tests kill it between the pieces to cut the reply short.
#include <windows.h>

#include <cstdint>

int main()
{
    const uint8_t reply[12] = {0x01, 0x00, 0x00, 0x00, 0xBA, 0x56, 0x00, 0x00, 0x01, 0x00, 0x10, 0x01};
    const DWORD pieces[][2] = {{0, 5}, {5, 7}};
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    uint8_t code[4];
    DWORD read = 0;
    for (const DWORD* piece : pieces)
    {
        if (!ReadFile(input, code, sizeof(code), &read, nullptr) || read == 0)
        {
            return 0;
        }
        DWORD written = 0;
        WriteFile(output, reply + piece[0], piece[1], &written, nullptr);
    }
    while (ReadFile(input, code, sizeof(code), &read, nullptr) && read > 0)
    {
    }
    return 0;
}
