// The two arguments MOLV answers without starting anything: --version and
// --help. Every other argument is ignored.
#pragma once

// What the command line asks for.
enum class program_request { supervise, version, help };

// The request of the first of the arguments (after the program's name) that
// is "--version" or "--help"; `supervise` when there is none.
program_request read_arguments(int count, const char* const* arguments);

// Prints the version or the help to standard output, and nothing else: no
// settings are read and nothing is started. Returns the exit status, 0, or
// 1 when the text could not be written.
int answer_request(program_request request);
