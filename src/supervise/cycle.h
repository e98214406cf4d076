// The endless cycle: start the server, wait for its end, keep its log, again.
#pragma once

// True until the first launch has been announced.
extern bool first_start;

// Seconds to wait before the next try after a launch that failed: 1 after
// the first failure, doubling with each further one in a row, at most 60.
unsigned next_retry_delay(unsigned previous_delay);

// How the last try ended: the launch failed, the instance ended before
// min_uptime had passed, or it lived at least that long.
enum class instance_end { launch_failed, quick, lived };

// The pause in seconds before the next launch after an `end`, given the
// pause before: the next step of next_retry_delay after a failed launch or a
// quick end, 0 (at once, and counting from 1 again) after a long life.
unsigned delay_after(unsigned previous_delay, instance_end end);

// The kind of end of an instance that lived `lived_ms` milliseconds.
instance_end end_of_instance(unsigned long long lived_ms, unsigned min_uptime_seconds);

// Announces and makes one launch; returns false when it failed.
bool start_server();

// Waits until the server has ended, reports the end, keeps its log, and
// pauses when the instance ended soon after its launch.
void wait_for_server();

// Runs the cycle until a stop is asked for: for ever, except as a
// container's first process.
void supervise_server();
