// A game server as far as the bridge can tell: starts authbridge.exe through the parent-side
// library, authenticates one ticket, reports on its standard output and then waits until its
// standard input closes or it is killed. Arguments: the bridge's path, the stand-in's log file,
// the stand-in's port object.
//
// The report, 16 bytes little-endian: the bridge's process ID, 1 when the library tied the bridge
// to this process, the Windows error when it could not, and the Authenticate result (0 or 1, or
// 0x100 plus the library's error).
#include "BridgeParent.h"
#include "StandInTicket.h"

#include <shellapi.h>

#include <string>
#include <vector>

namespace
{
constexpr uint32_t ClientAddress = 0xC0A80117;
constexpr uint64_t User = 76561197960287930ull;
constexpr uint32_t FailureBase = 0x100;
} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 4)
    {
        return 2;
    }
    FBridgeParent bridge;
    const FBridgeResult started = bridge.Start(argv[1], L"",
                                               {std::wstring(L"STEAM_STANDIN_LOG=") + argv[2],
                                                std::wstring(L"STEAM_STANDIN_PORT_OBJECT=") + argv[3]});
    LocalFree(argv);

    uint32_t authenticated = FailureBase + static_cast<uint32_t>(started.Error);
    if (started)
    {
        FAuthenticateReply reply;
        const FBridgeResult result = bridge.Authenticate(
            ClientAddress, EncodeStandInTicket(FStandInTicket{User, EStandInVerdict::Approve, 0, 0, 0, 0}),
            reply);
        authenticated = result ? reply.Result : FailureBase + static_cast<uint32_t>(result.Error);
    }
    const uint32_t report[4] = {bridge.ProcessId(), bridge.IsProtected() ? 1u : 0u, bridge.ProtectionError(),
                                authenticated};
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report, sizeof(report), &written, nullptr);

    char byte = 0;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read > 0)
    {
    }
    return 0;
}
