// The INI lookup behind the POSIX profile reader, over a text in memory, with
// the rules of the Windows reader.
#pragma once

#include <cstddef>

// Looks up `key` in the first `section` of `text` (which need not be
// terminated and may hold NUL bytes) and copies its value, or the default
// when there is none, into `destination`: at most capacity-1 characters,
// always terminated when capacity is above 0. Returns the count copied.
//
//   text                      query          answer
//   "[A]\nk = v \n"           A, k           "v"
//   "[a]\nK=\n"               A, k           ""        (empty, not default)
//   "[A]\nk\n"                A, k           default   (no "=")
//   "[A]\nk=\"v\"\n"          A, k           "v"       (one pair of quotes)
//   "[A]\nk=1\n[A]\nk=2\n"    A, k           "1"       (first section only)
//   "; c=1\n"                 "", "; c"      "1"       (no comments)
//   "k=0\n[A]\nk=1\n"         "", k          "0"       (keys before any header)
//   "[A]\nk=v\n"              " A ", " k "   "v"       (asked names trimmed)
// A null default counts as an empty one.
unsigned long profile_lookup(const char* text, std::size_t length, const char* section,
                             const char* key, const char* default_value, char* destination,
                             unsigned long capacity);
