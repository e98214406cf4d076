#include "app/startup.h"

// The command line and the environment are not consulted.
int main()
{
    return run_startup();
}
