#include "app/arguments.h"
#include "app/control.h"
#include "app/startup.h"

// The environment is not consulted. Of the arguments, --version and --help
// start nothing, and --status, --restart and --stop speak to the MOLV that
// runs in the current folder.
int main(int argc, char** argv)
{
    const program_request request = read_arguments(argc, argv);
    switch (request) {
    case program_request::supervise:
        return run_startup();
    case program_request::status:
    case program_request::restart:
    case program_request::stop:
        return run_control(request);
    case program_request::version:
    case program_request::help:
    case program_request::unknown:
        break;
    }
    return answer_request(request);
}
