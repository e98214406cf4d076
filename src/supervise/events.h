// The events passed to the operator's on_event program: the program gets
// the event's word and a detail as its two arguments.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// The arguments of one call; a detail that does not fit is cut.
constexpr std::size_t event_word_capacity = 16;
constexpr std::size_t event_detail_capacity = 256;
struct event_call {
    char event[event_word_capacity];
    char detail[event_detail_capacity];
};

// Fills `call` with `event` and `detail`, each cut to its capacity. Returns
// false when anything was cut.
bool compose_event_call(const char* event, const char* detail, event_call& call);

// The detail of an "ended" event: "exit N", "signal N" for a server that a
// signal ended, or "unknown" for a found server whose status cannot be had.
void describe_server_end(const server_end& end, char* destination, std::size_t capacity);

// Passes an event to the on_event program, when one is set, without waiting
// for it. At most event_program_capacity run at once: an event that finds
// them all busy is not passed on, and is said so; a program that cannot be
// started is said so too. The cycle goes on either way.
void pass_event(const char* event, const char* detail);

// Holds the event back until pass_held_event, so that starting its program
// does not stand between the end of a server and the next launch; one held
// before is passed on first.
void hold_event(const char* event, const char* detail);

// Passes on the event held back, if any.
void pass_held_event();

// The same with a number as the detail.
void pass_event_number(const char* event, unsigned long number);
