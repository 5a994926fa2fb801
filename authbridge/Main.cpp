#include "BridgeLoop.h"

int main()
{
    return RunBridge();
}
