#include "supervise/recovery.h"

#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "platform/platform.h"
#include "supervise/backup.h"
#include "supervise/events.h"
#include "supervise/stop.h"

bool log_left_to_back_up(bool backups_on, const lock_record& record, const char* log_fingerprint,
                         bool recorded_copy_there)
{
    if (!backups_on || record.server == 0 || log_fingerprint[0] == '\0') {
        return false;
    }
    if (record.backup[0] != '\0') {
        return !recorded_copy_there;
    }
    return std::strcmp(record.log, log_fingerprint) != 0;
}

void take_over_ended_server()
{
    lock_record record = {};
    if (!platform_previous_record(record)) {
        return;
    }
    if (platform_watch_previous_server_remains()) {
        stop_leftovers();
    }
    char fingerprint[file_fingerprint_capacity] = "";
    platform_file_fingerprint(settings[logfile], fingerprint, sizeof fingerprint);
    const bool copy_there = record.backup[0] != '\0' && platform_file_readable(record.backup);
    if (!log_left_to_back_up(settings[logfile_backups][0] == '1', record, fingerprint,
                             copy_there)) {
        return;
    }
    long long modified = 0;
    if (!platform_file_modified(settings[logfile], modified)) {
        return;
    }
    const std::time_t at = static_cast<std::time_t>(modified);
    const std::tm* local = std::localtime(&at);
    if (local == nullptr) {
        return;
    }
    char failure[256] = "";
    if (!backup_log_as_of(*local, failure, sizeof failure)) {
        pass_event("backup_failed", failure);
    }
}
