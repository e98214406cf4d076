// The descriptors that the wait for the server watches besides the server
// itself, shared between the files of the POSIX backend.
#pragma once

// The query socket, or -1 when none is open (query.cpp).
int query_descriptor();

// The alarm's timer, or -1 while none is set (alarm.cpp).
int alarm_descriptor();

// Consumes the alarm's expiry or the news that the clock was set; true when
// either was there.
bool take_alarm();
