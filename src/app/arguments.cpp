#include "app/arguments.h"

#include <cstdio>
#include <cstring>

namespace {

const char version_text[] = "MOLV " MOLV_VERSION "\n";

// MOLV_README_PLACE says where the package put the README.
const char help_text[] =
    "MOLV " MOLV_VERSION " keeps a Deus Ex dedicated server running: it starts the\n"
    "server, waits until it ends, keeps a dated copy of its log, and starts it\n"
    "again, for as long as MOLV runs.\n"
    "\n"
    "Start it in the server's folder, without arguments: it reads its settings\n"
    "from molv.ini in the current folder.\n"
    "  --version  shows the version\n"
    "  --help     shows this text\n"
    "\n"
    "Everything else is in the README:\n"
    "  " MOLV_README_PLACE "\n";

} // namespace

program_request read_arguments(int count, const char* const* arguments)
{
    for (int i = 1; i < count; ++i) {
        if (std::strcmp(arguments[i], "--version") == 0) {
            return program_request::version;
        }
        if (std::strcmp(arguments[i], "--help") == 0) {
            return program_request::help;
        }
    }
    return program_request::supervise;
}

int answer_request(program_request request)
{
    std::fputs(request == program_request::version ? version_text : help_text, stdout);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
