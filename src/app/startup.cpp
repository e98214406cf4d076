#include "app/startup.h"

#include "app/arguments.h"

#include <cstdio>

#include "config/feature_lines.h"
#include "config/launch_profile.h"
#include "config/settings.h"
#include "console/log_line.h"
#include "platform/platform.h"
#include "supervise/cycle.h"
#include "supervise/status.h"

namespace {

const char separator[] = "  =-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=";
const char blank[] = "                                     ";

// The version is the project's, given by the build.
const char version_row[] = "             Version " MOLV_VERSION "           ";
static_assert(sizeof version_row == sizeof blank, "the version row is 37 characters wide");

} // namespace

const char* const banner_lines[banner_line_count] = {
    separator,
    blank,
    "  #     #   #####   #        #     # ",
    "  ##   ##  #     #  #        #     # ",
    "  # # # #  #     #  #        #     # ",
    "  #  #  #  #     #  #        #     # ",
    "  #     #  #     #  #         #   #  ",
    "  #     #  #     #  #          # #   ",
    "  #     #   #####   #######     #    ",
    blank,
    separator,
    blank,
    version_row,
    "    Server supervisor for Deus Ex    ",
    blank,
    separator,
};

// The one way out: an empty line, the error in red, an empty line, and a
// key press before the window closes; then the exit status `status`.
static int stop_with_error(const char* message, int status)
{
    plain_line("");
    log_line(colour_red, message);
    plain_line("");
    platform_pause();
    return status;
}

// Takes the folder's lock for the whole run. False when another MOLV holds
// it, after the error and the key press; a folder that cannot be locked
// only gets a warning.
static bool lock_folder()
{
    unsigned long holder = 0;
    char reason[256] = "";
    char message[400];
    switch (platform_lock_folder(holder, reason, sizeof reason)) {
    case folder_lock::held:
        return true;
    case folder_lock::busy:
        if (holder != 0) {
            std::snprintf(message, sizeof message,
                          "  ERROR: Another MOLV is already running in this folder (process %lu).",
                          holder);
        } else {
            std::snprintf(message, sizeof message,
                          "  ERROR: Another MOLV is already running in this folder.");
        }
        stop_with_error(message, exit_already_running);
        return false;
    case folder_lock::failed:
        std::snprintf(message, sizeof message,
                      "  WARNING: Could not lock this folder: %s; a second MOLV here would not be "
                      "noticed.",
                      reason);
        log_line(colour_yellow, message);
        return true;
    }
    return true;
}

int run_startup()
{
    platform_prepare_process();
    platform_set_title("MOLV");
    platform_prepare_console();
    console_handle = platform_console_output();

    for (const char* line : banner_lines) {
        log_line(colour_cyan, line);
    }
    plain_line("");

    load_settings();
    bool command_line_fits = build_launch_profile();
    report_features();
    plain_line("");
    first_start = true;

    if (!platform_file_readable(settings[exename])) {
        return stop_with_error("  ERROR: Executeable not found!", exit_cannot_start);
    }
    if (!command_line_fits) {
        return stop_with_error("  ERROR: Server command line is longer than 255 characters!",
                               exit_cannot_start);
    }
    // A MOLV refused here touches nothing of the one that runs.
    if (!lock_folder()) {
        return exit_already_running;
    }
    char reason[256] = "";
    if (!platform_accept_requests(reason, sizeof reason)) {
        log_warning("  WARNING: Requests from other consoles cannot reach this MOLV: ", reason);
    }
    status_begin(platform_epoch_seconds(), query_port_number != 0);
    supervise_server();
    status_molv_ending();
    status_write();
    platform_end_as_asked();
    return exit_fine;
}
