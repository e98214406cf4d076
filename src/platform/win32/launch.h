// The process at start. Internal to win32/.
#pragma once

// Marks every handle MOLV inherited, its standard handles aside, as not
// inheritable, so that no child of MOLV's gets one.
void keep_inherited_handles();
