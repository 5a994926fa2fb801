// Turns Steam's notices about users on the game server into events for the parent's next poll.
#pragma once

#include "steam_api.h"

class FSteamHandler
{
public:
    FSteamHandler();

private:
    void OnClientApprove(GSClientApprove_t* notice);
    void OnClientDeny(GSClientDeny_t* notice);
    void OnClientKick(GSClientKick_t* notice);

    // Constructed in this order, so Steam sees the registrations 201, 202, 203.
    CCallback<FSteamHandler, GSClientApprove_t, true> ApproveCallback;
    CCallback<FSteamHandler, GSClientDeny_t, true> DenyCallback;
    CCallback<FSteamHandler, GSClientKick_t, true> KickCallback;
};
