#include "app/arguments.h"
#include "app/startup.h"

// The environment is not consulted, and of the arguments only --version and
// --help, which start nothing.
int main(int argc, char** argv)
{
    const program_request request = read_arguments(argc, argv);
    if (request != program_request::supervise) {
        return answer_request(request);
    }
    return run_startup();
}
