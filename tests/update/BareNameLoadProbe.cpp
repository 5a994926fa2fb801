// Loads the rich-edit library by its bare name, as a program that trusts the search order would.
// Shows that a DLL planted beside a program is really picked up under the test's settings.

#include <windows.h>

int main()
{
    HMODULE library = LoadLibraryA("RICHED20.DLL");
    return library != nullptr ? 0 : 1;
}
