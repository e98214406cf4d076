#include "supervise/events.h"

#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "supervise/status.h"
#include "text/text.h"

bool compose_event_call(const char* event, const char* detail, event_call& call)
{
    const bool event_whole = copy_text(call.event, sizeof call.event, event);
    const bool detail_whole = copy_text(call.detail, sizeof call.detail, detail);
    return event_whole && detail_whole;
}

void describe_server_end(const server_end& end, char* destination, std::size_t capacity)
{
    if (end.unknown) {
        std::snprintf(destination, capacity, "unknown");
        return;
    }
    std::snprintf(destination, capacity, "%s %lu", end.by_signal ? "signal" : "exit", end.code);
}

void pass_event(const char* event, const char* detail)
{
    if (settings[on_event][0] == '\0') {
        return;
    }
    event_call call;
    compose_event_call(event, detail, call);
    if (platform_event_programs_running() >= event_program_capacity) {
        char message[96];
        copy_text(message, sizeof message, "  WARNING: The on_event program is still busy; event ");
        append_text(message, sizeof message, call.event);
        append_text(message, sizeof message, " not passed on.");
        log_line(colour_yellow, message);
        status_event_not_run();
        return;
    }
    char reason[256] = "";
    if (!platform_run_event_program(settings[on_event], call.event, call.detail, reason,
                                    sizeof reason)) {
        log_warning("  WARNING: Could not run the on_event program: ", reason);
        status_event_not_run();
    }
}

namespace {

// An event held back until the next launch has been made.
event_call held = {};
bool holding = false;

} // namespace

void hold_event(const char* event, const char* detail)
{
    if (settings[on_event][0] == '\0') {
        return;
    }
    pass_held_event();
    compose_event_call(event, detail, held);
    holding = true;
}

void pass_held_event()
{
    if (holding) {
        holding = false;
        pass_event(held.event, held.detail);
    }
}

void pass_event_number(const char* event, unsigned long number)
{
    char detail[24];
    std::snprintf(detail, sizeof detail, "%lu", number);
    pass_event(event, detail);
}
