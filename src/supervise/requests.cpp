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

// Takes the request that came, if any. A restart or a stop is said with
// `restart_line` or `stop_line` and passed on as the event "asked".
static molv_request take_request(const char* restart_line, const char* stop_line)
{
    const molv_request request = platform_take_request();
    if (request == molv_request::none) {
        return request;
    }
    taken = request;
    if (request != molv_request::leave) {
        const bool restart = request == molv_request::restart;
        log_line(colour_white, restart ? restart_line : stop_line);
        pass_event("asked", restart ? "restart" : "stop");
    }
    return request;
}

bool serve_request_while_running()
{
    const molv_request request = take_request("  > Restart asked: stopping the gameserver...",
                                              "  > Stop asked: stopping the gameserver...");
    if (request == molv_request::restart || request == molv_request::stop) {
        stop_gameserver();
    }
    return request != molv_request::none;
}

bool serve_request_between()
{
    // One taken while the server ran that ends MOLV still does so.
    return molv_asked_to_end() ||
           take_request("  > Restart asked.", "  > Stop asked.") != molv_request::none;
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
