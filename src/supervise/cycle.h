// The endless cycle: start the server, wait for its end, keep its log, again.
#pragma once

// True until the first launch has been announced.
extern bool first_start;

// Seconds to wait before the next try after a launch that failed: 1 after
// the first failure, doubling with each further one in a row, at most 60.
unsigned next_retry_delay(unsigned previous_delay);

// Announces and makes one launch; returns false when it failed.
bool start_server();

// Waits until the server has ended, reports the end and keeps its log.
void wait_for_server();

// Runs the cycle until a stop is asked for: for ever, except as a
// container's first process.
void supervise_server();
