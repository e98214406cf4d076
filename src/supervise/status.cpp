#include "supervise/status.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"

namespace {

molv_status status = {};

// What the lock file's record tells of the run, written beside it.
run_facts facts = {};

// The current folder, read once at start; when it cannot be read, why not.
char folder[status_folder_capacity] = "";
char folder_failure[256] = "";

// Whether the last write failed and was said so; the next failure is then
// not said again.
bool failure_told = false;

// Whether the record has changed since the last write.
bool unwritten = false;

// While writes fail, the monotonic time of the next try (at most one a
// second); 0 while they work.
constexpr unsigned long long retry_interval_ms = 1000;
unsigned long long retry_at_ms = 0;

void note_change()
{
    unwritten = true;
}

char rendered[status_text_capacity];

// What the warning about another status file needs: this folder's label.
struct sibling_search {
    char label[3 * status_folder_capacity];
};

void look_at_sibling(const char* name, const char* content, std::size_t length, void* context)
{
    const sibling_search& search = *static_cast<const sibling_search*>(context);
    if (!speaks_for_folder(content, length, search.label)) {
        return;
    }
    char message[600];
    copy_text(message, sizeof message,
              "  WARNING: Another status file in that folder also speaks for this folder: ");
    append_text(message, sizeof message, name);
    append_text(message, sizeof message, "; remove it.");
    log_line(colour_yellow, message);
}

void warn_about_other_status_files()
{
    static sibling_search search;
    if (render_label_value(folder, search.label, sizeof search.label) == 0) {
        return;
    }
    platform_other_status_files(settings[status_file], look_at_sibling, &search);
}

// A player count and whether it is known, noted as changed only when it
// changed.
void note_count(bool known, unsigned count, bool& was_known, unsigned& was)
{
    if (known != was_known || (known && count != was)) {
        was_known = known;
        was = known ? count : 0;
        note_change();
    }
}

void forget_players()
{
    note_count(false, 0, status.players_known, status.players);
    note_count(false, 0, status.max_players_known, status.max_players);
    if (status.map[0] != '\0') {
        status.map[0] = '\0';
        note_change();
    }
}

} // namespace

const molv_status& current_status()
{
    return status;
}

// The facts of the record as the state stands.
static const run_facts& facts_now()
{
    facts.players_known = status.server_up && status.players_known;
    facts.players = facts.players_known ? status.players : 0;
    facts.max_players = facts.players_known && status.max_players_known ? status.max_players : 0;
    copy_text(facts.map, sizeof facts.map, facts.players_known ? status.map : "");
    return facts;
}

void status_write()
{
    platform_record_facts(facts_now());
    unwritten = false;
    if (settings[status_file][0] == '\0') {
        return;
    }
    char reason[256] = "";
    bool written = false;
    if (folder_failure[0] != '\0') {
        copy_text(reason, sizeof reason, folder_failure);
    } else {
        const std::size_t length =
            render_status(status, folder, MOLV_VERSION, rendered, sizeof rendered);
        if (length == 0) {
            copy_text(reason, sizeof reason, "the state does not fit in the space for it");
        } else {
            written = platform_replace_file(settings[status_file], rendered, length, reason,
                                            sizeof reason);
        }
    }
    if (!written && !failure_told) {
        log_warning("  WARNING: Could not write the status file: ", reason);
    }
    failure_told = !written;
    // A file that could not be written is tried again, unless nothing can
    // change that (the folder's path cannot be read, the state is too big).
    unwritten = !written && folder_failure[0] == '\0' && reason[0] != '\0' &&
                std::strcmp(reason, "the state does not fit in the space for it") != 0;
    retry_at_ms = unwritten ? platform_monotonic_ms() + retry_interval_ms : 0;
}

void status_flush()
{
    platform_record_facts(facts_now());
    if (unwritten && (retry_at_ms == 0 || platform_monotonic_ms() >= retry_at_ms)) {
        status_write();
    }
}

unsigned long long status_retry_at_ms()
{
    return unwritten ? retry_at_ms : 0;
}

void status_begin(long long now, bool watched)
{
    status = molv_status{};
    facts = run_facts{};
    status.start_time = now;
    status.server_watched = watched;
    folder_failure[0] = '\0';
    failure_told = false;
    if (settings[status_file][0] != '\0') {
        char reason[200] = "";
        if (!platform_current_folder(folder, sizeof folder, reason, sizeof reason)) {
            copy_text(folder_failure, sizeof folder_failure,
                      "the path of the current folder cannot be read: ");
            append_text(folder_failure, sizeof folder_failure, reason);
        } else {
            warn_about_other_status_files();
        }
    }
    status_write();
}

void status_server_running(long long started)
{
    status.server_up = true;
    status.server_start_time = started;
    status.server_answering = false;
    forget_players();
    status.retry_delay = 0;
    facts.server_since = started;
    facts.next_start = 0;
    note_change();
}

void status_server_launched(long long now)
{
    ++status.launches;
    facts.launches = status.launches;
    status_server_running(now);
}

// The end of the instance that ran, for the record.
static void note_end(const char* cause)
{
    facts.server_since = 0;
    copy_text(facts.last_end, sizeof facts.last_end, cause);
    facts.last_end_at = platform_epoch_seconds();
}

void status_next_restart(long long epoch_seconds)
{
    facts.next_restart = epoch_seconds;
}

void status_molv_ending()
{
    status.molv_ended = true;
    facts.next_start = 0;
    note_change();
}

void status_launch_failed()
{
    ++status.launch_failures;
    note_change();
}

void status_server_answered()
{
    if (status.server_answering || !status.server_up) {
        return;
    }
    status.server_answering = true;
    note_change();
}

void status_server_info(const server_info& info)
{
    if (!status.server_up) {
        return;
    }
    note_count(info.players_known, info.players, status.players_known, status.players);
    note_count(info.max_players_known, info.max_players, status.max_players_known,
               status.max_players);
    if (std::strcmp(status.map, info.map) != 0) {
        copy_text(status.map, sizeof status.map, info.map);
        note_change();
    }
}

void status_server_ended(status_end cause)
{
    status.server_up = false;
    status.server_answering = false;
    forget_players();
    ++status.ends[static_cast<std::size_t>(cause)];
    static const char* const causes[] = {"crashed", "hung", "scheduled", "asked"};
    note_end(causes[static_cast<std::size_t>(cause)]);
    note_change();
}

void status_server_stopped()
{
    status.server_up = false;
    status.server_answering = false;
    note_end("stopped");
    forget_players();
    note_change();
}

void status_retry_pause(unsigned seconds)
{
    facts.next_start = seconds != 0 ? platform_epoch_seconds() + seconds : 0;
    if (status.retry_delay == seconds) {
        return;
    }
    status.retry_delay = seconds;
    note_change();
}

void status_log_backed_up()
{
    ++status.backups;
    note_change();
}

void status_log_backup_failed()
{
    ++status.backup_failures;
    note_change();
}

void status_event_not_run()
{
    ++status.events_not_run;
    note_change();
}
