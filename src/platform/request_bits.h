// The requests a backend has noted and not handed over yet, one bit each,
// and which of them the cycle takes first. Shared by both backends.
#pragma once

#include "platform/platform.h"

constexpr unsigned restart_request_bit = 1;
constexpr unsigned stop_request_bit = 2;
constexpr unsigned leave_request_bit = 4;

// The request of `bits` to take: a leave or a stop wins over a restart.
inline molv_request most_urgent_request(unsigned bits)
{
    if ((bits & leave_request_bit) != 0) {
        return molv_request::leave;
    }
    if ((bits & stop_request_bit) != 0) {
        return molv_request::stop;
    }
    return (bits & restart_request_bit) != 0 ? molv_request::restart : molv_request::none;
}
