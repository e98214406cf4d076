#include <cstdio>
#include <cstdlib>
#include <windows.h>

#include "standin_platform.h"

void standin_read_facts(standin_facts& facts)
{
    DWORD pid = GetCurrentProcessId();
    DWORD session = 0;
    ProcessIdToSessionId(pid, &session);
    facts.process_id = pid;
    std::snprintf(facts.session, sizeof facts.session, "%lu", static_cast<unsigned long>(session));
    // Windows sessions have no leader; a console of its own is what counts
    // there, and the supervisor asks for one at every launch.
    std::snprintf(facts.leader, sizeof facts.leader, "-");
    std::snprintf(facts.input_null, sizeof facts.input_null, "-");
    std::snprintf(facts.sigpipe, sizeof facts.sigpipe, "-");
    std::snprintf(facts.sigxfsz, sizeof facts.sigxfsz, "-");
    std::snprintf(facts.blocked, sizeof facts.blocked, "-");
    std::snprintf(facts.descriptors, sizeof facts.descriptors, "-");
}

std::string standin_command_line(int, char**)
{
    return GetCommandLineA();
}

void standin_sleep_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void standin_die_by_signal()
{
    // The exit code of an access violation, as a crashed server shows it.
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    std::_Exit(3);
}

void standin_abort()
{
    std::abort();
}

void standin_leave_orphan()
{
}
