#include "BridgeLoop.h"

#include <gtest/gtest.h>

struct FIdleCase
{
    double Now;
    double LastActivity;
    bool Exceeded;
};

TEST(IdleLimit, StopsOnlyAfterMoreThan900SecondsOfSilence)
{
    const FIdleCase cases[] = {
        {0.0, 0.0, false},      {899.999, 0.0, false}, {900.0, 0.0, false}, {900.001, 0.0, true},
        {1000.0, 100.0, false}, {1000.5, 100.0, true}, {5000.0, 0.0, true},
    };
    for (const FIdleCase& c : cases)
    {
        EXPECT_EQ(IsIdleLimitExceeded(c.Now, c.LastActivity), c.Exceeded)
            << "now=" << c.Now << " last=" << c.LastActivity;
    }
}
