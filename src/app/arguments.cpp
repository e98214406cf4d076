#include "app/arguments.h"

#include <cstdio>
#include <cstring>

const char* unknown_option = "";

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
    "In a folder where MOLV runs, from another console:\n"
    "  --status   tells whether MOLV and the server run (exit status 0: both,\n"
    "             1: MOLV alone, 3: no MOLV here)\n"
    "  --restart  asks that MOLV to restart the server now\n"
    "  --stop     asks that MOLV to stop the server and end, and waits for it\n"
    "\n"
    "Everything else is in the README:\n"
    "  " MOLV_README_PLACE "\n";

const struct {
    const char* word;
    program_request request;
} known[] = {
    {"--version", program_request::version}, {"--help", program_request::help},
    {"--status", program_request::status},   {"--restart", program_request::restart},
    {"--stop", program_request::stop},
};

} // namespace

program_request read_arguments(int count, const char* const* arguments)
{
    for (int i = 1; i < count; ++i) {
        for (const auto& each : known) {
            if (std::strcmp(arguments[i], each.word) == 0) {
                return each.request;
            }
        }
        if (std::strncmp(arguments[i], "--", 2) == 0) {
            unknown_option = arguments[i];
            return program_request::unknown;
        }
    }
    return program_request::supervise;
}

int answer_request(program_request request)
{
    if (request == program_request::unknown) {
        std::fprintf(stderr, "Unknown option: %s (see --help).\n", unknown_option);
        return exit_usage;
    }
    std::fputs(request == program_request::version ? version_text : help_text, stdout);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? exit_fine : exit_not_running;
}
