#include "supervise/requests.h"

#include <cstdio>

#include "console/log_line.h"
#include "supervise/events.h"
#include "supervise/stop.h"

namespace {

molv_request taken = molv_request::none;

} // namespace

molv_request last_request()
{
    return taken;
}

bool molv_asked_to_end()
{
    return taken == molv_request::stop || taken == molv_request::leave;
}

bool serve_request_while_running()
{
    const molv_request request = platform_take_request();
    if (request == molv_request::none) {
        return false;
    }
    taken = request;
    if (request == molv_request::leave) {
        return true;
    }
    const bool restart = request == molv_request::restart;
    log_line(colour_white, restart ? "  > Restart asked: stopping the gameserver..."
                                   : "  > Stop asked: stopping the gameserver...");
    pass_event("asked", restart ? "restart" : "stop");
    stop_gameserver();
    return true;
}

bool serve_request_between()
{
    // One taken while the server ran that ends MOLV still does so.
    if (molv_asked_to_end()) {
        return true;
    }
    const molv_request request = platform_take_request();
    if (request == molv_request::none) {
        return false;
    }
    taken = request;
    if (request == molv_request::leave) {
        return true;
    }
    const bool restart = request == molv_request::restart;
    log_line(colour_white, restart ? "  > Restart asked." : "  > Stop asked.");
    pass_event("asked", restart ? "restart" : "stop");
    return true;
}

void say_molv_leaves()
{
    if (taken != molv_request::leave) {
        return;
    }
    const unsigned long server = platform_server_id();
    if (server == 0) {
        log_line(colour_white, "  > MOLV is ending.");
        return;
    }
    char message[128];
    std::snprintf(message, sizeof message,
                  "  > MOLV is ending; the gameserver keeps running (process %lu).", server);
    log_line(colour_white, message);
}
