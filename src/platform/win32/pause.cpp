// The key prompt after a failed start: the command processor's own.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void platform_pause()
{
    std::fflush(stdout);
    std::system("pause");
}
