// The polite stop of one process: WM_CLOSE to each of its top-level
// windows. Internal to win32/.
#pragma once

#include <cstddef>

// Posts WM_CLOSE to every top-level window of the process; false with the
// system's reason when the windows could not be looked at.
bool close_windows_of(unsigned long process_id, char* reason, std::size_t reason_capacity);
