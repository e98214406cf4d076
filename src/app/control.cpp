#include "app/control.h"

#include <cstdio>
#include <ctime>

#include "app/status_lines.h"
#include "config/settings.h"
#include "platform/platform.h"

namespace {

std::tm local_time_at(long long epoch_seconds)
{
    const std::time_t at = static_cast<std::time_t>(epoch_seconds);
    std::tm result{};
    if (const std::tm* local = std::localtime(&at)) {
        result = *local;
    }
    return result;
}

// The stop_timeout of molv.ini here, as the MOLV that runs read it at its
// start unless the file changed since.
unsigned configured_stop_timeout()
{
    char path[1024];
    unsigned seconds = default_stop_timeout_seconds;
    if (platform_settings_path(settings_file_name, path, sizeof path)) {
        const setting_key& key = setting_keys[stop_timeout];
        setting_value value;
        platform_profile_string(key.section, key.key, key.default_value, value, sizeof value, path);
        read_stop_timeout(value, seconds);
    }
    return seconds;
}

int print(const char* text)
{
    std::fputs(text, stdout);
    return std::fflush(stdout);
}

int say_status(const folder_view& view)
{
    char text[2048];
    const int status = describe_folder(view, local_time_at, text, sizeof text);
    print(text);
    return status;
}

int ask(const lock_record& record, program_request request)
{
    char reason[256] = "";
    const molv_request asked =
        request == program_request::restart ? molv_request::restart : molv_request::stop;
    char line[512];
    switch (platform_send_request(record.molv, record.molv_identity, asked, reason, sizeof reason)) {
    case request_sent::not_running:
        print("MOLV is not running in this folder.\n");
        return exit_no_molv;
    case request_sent::refused:
        std::snprintf(line, sizeof line, "Not allowed to ask MOLV (process %lu): %s.\n",
                      record.molv, reason);
        print(line);
        return exit_not_allowed;
    case request_sent::sent:
        break;
    }
    if (asked == molv_request::restart) {
        std::snprintf(line, sizeof line, "Asked MOLV (process %lu) to restart the gameserver.\n",
                      record.molv);
        print(line);
        return exit_fine;
    }
    std::snprintf(line, sizeof line,
                  "Asked MOLV (process %lu) to stop the gameserver and end; waiting...\n",
                  record.molv);
    print(line);
    const unsigned long long deadline =
        platform_monotonic_ms() + (configured_stop_timeout() + 30ULL) * 1000ULL;
    if (platform_wait_recorded_end(record.molv, record.molv_identity, deadline)) {
        print("MOLV has ended.\n");
        return exit_fine;
    }
    print("MOLV did not end in time.\n");
    return exit_not_running;
}

} // namespace

int run_control(program_request request)
{
    folder_view view = {};
    view.record_read = platform_read_record(view.record);
    const lock_record& record = view.record;
    view.molv_runs = view.record_read && record.molv != 0 &&
                     platform_recorded_process_runs(record.molv, record.molv_identity);
    view.server_runs = view.record_read && record.server != 0 &&
                       platform_recorded_process_runs(record.server, record.identity);
    view.now = platform_epoch_seconds();
    if (request == program_request::status) {
        return say_status(view);
    }
    if (!view.molv_runs) {
        print("MOLV is not running in this folder.\n");
        return exit_no_molv;
    }
    return ask(record, request);
}
