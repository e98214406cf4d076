// The named pipe through which another console asks the MOLV of a folder
// for a restart or a stop: its name, who may open it, and the words spoken
// on it. Internal to win32/.
#pragma once

#include <windows.h>

#include <cstddef>

// Room for the pipe's name with its terminator.
constexpr std::size_t request_pipe_name_capacity = 48;

// Writes the name of the request pipe of `folder` (a full path; nullptr for
// the current folder) to `name`: "\\.\pipe\molv-" and the hash of the
// folder's path that the folder's job is named after. Not a "Local\" name:
// a MOLV that Task Scheduler started in another session is reached too.
// False when the folder cannot be looked at.
bool request_pipe_name(const wchar_t* folder, wchar_t* name, std::size_t capacity);

// Fills `attributes` (not inheritable) with a security descriptor that lets
// only the user MOLV runs as and the Administrators open the pipe. False with
// the system's reason when the user cannot be learnt.
bool request_pipe_security(SECURITY_ATTRIBUTES& attributes, char* reason,
                           std::size_t reason_capacity);

// The words: a request is one message, "restart" or "stop"; MOLV answers
// "taken" once it has noted it.
constexpr char restart_word[] = "restart";
constexpr char stop_word[] = "stop";
constexpr char taken_word[] = "taken";

// Room for a message on the pipe; a longer one is no request.
constexpr DWORD request_message_capacity = 16;
