// The pacing of the launches: the pause after a failed launch or a quick
// end, from what came before (declared in cycle.h).
#include "supervise/cycle.h"

unsigned next_retry_delay(unsigned previous_delay)
{
    if (previous_delay == 0) {
        return 1;
    }
    return previous_delay >= 30 ? 60 : previous_delay * 2;
}

unsigned delay_after(unsigned previous_delay, instance_end end)
{
    return end == instance_end::lived ? 0 : next_retry_delay(previous_delay);
}

instance_end end_of_instance(unsigned long long lived_ms, unsigned min_uptime_seconds)
{
    return lived_ms < min_uptime_seconds * 1000ULL ? instance_end::quick : instance_end::lived;
}
