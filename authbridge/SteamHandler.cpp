#include "SteamHandler.h"

#include "BridgeProtocol.h"

namespace
{
constexpr int32_t ApproveReason = -1;
}

FSteamHandler::FSteamHandler()
    : ApproveCallback(this, &FSteamHandler::OnClientApprove),
      DenyCallback(this, &FSteamHandler::OnClientDeny), KickCallback(this, &FSteamHandler::OnClientKick)
{
}

void FSteamHandler::OnClientApprove(GSClientApprove_t* notice)
{
    AppendAuthEvent({notice->m_SteamID.ConvertToUint64(), EAuthEventType::Approve, ApproveReason});
}

void FSteamHandler::OnClientDeny(GSClientDeny_t* notice)
{
    AppendAuthEvent({notice->m_SteamID.ConvertToUint64(), EAuthEventType::Deny, notice->m_eDenyReason});
}

void FSteamHandler::OnClientKick(GSClientKick_t* notice)
{
    AppendAuthEvent({notice->m_SteamID.ConvertToUint64(), EAuthEventType::Kick, notice->m_eDenyReason});
}
