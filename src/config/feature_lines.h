// The lines that show, after the summary of loaded settings, which of the
// optional features are on.
#pragma once

// Logs one line for each optional feature that is on, in a fixed order, and
// warns once when the on_event program is not there; a MOLV without these
// settings logs nothing here.
void report_features();
