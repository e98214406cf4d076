// Requests to a running MOLV: not taken yet on Windows.
#include "text/text.h"
#include "platform/platform.h"

bool platform_accept_requests(char*, std::size_t)
{
    return true;
}

molv_request platform_take_request()
{
    return molv_request::none;
}

void platform_end_as_asked()
{
}

request_sent platform_send_request(unsigned long, const char*, molv_request, char* reason,
                                   std::size_t reason_capacity)
{
    copy_text(reason, reason_capacity, "requests are not taken on this system yet");
    return request_sent::refused;
}
