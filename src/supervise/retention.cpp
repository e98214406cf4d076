#include "supervise/retention.h"

#include <cstdio>

#include "config/settings.h"
#include "console/log_line.h"
#include "text/text.h"
#include "platform/platform.h"
#include "supervise/backup.h"

namespace {

// Characters alike for a file name: letters in either case, and both
// separators.
char folded(char c)
{
    if (c == '\\') {
        return '/';
    }
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Moves `text` past `prefix` when it begins with it, in either case and
// with either separator; returns whether it did.
bool skip_prefix(const char*& text, const char* prefix)
{
    const char* at = text;
    for (; *prefix != '\0'; ++prefix, ++at) {
        if (folded(*at) != folded(*prefix)) {
            return false;
        }
    }
    text = at;
    return true;
}

// A backup, and not the server's own log.
bool old_backup_candidate(const char* name, const void* logfile_name)
{
    return is_backup_name(name) &&
           !names_the_logfile(name, static_cast<const char*>(logfile_name));
}

} // namespace

bool names_the_logfile(const char* name, const char* logfile)
{
    while (skip_prefix(logfile, "./")) {
    }
    for (; *name != '\0' && *logfile != '\0'; ++name, ++logfile) {
        if (folded(*name) != folded(*logfile)) {
            return false;
        }
    }
    return *name == *logfile;
}

void remove_old_backups()
{
    if (backup_retention_days == 0) {
        return;
    }
    removal_pass pass;
    platform_remove_old_files(old_backup_candidate, settings[logfile],
                              backup_retention_days * 86400ULL, settings[logfile], pass);
    if (pass.removed > 0) {
        char message[64];
        std::snprintf(message, sizeof message, "  > Removed %u old log %s.", pass.removed,
                      pass.removed == 1 ? "backup" : "backups");
        log_line(colour_white, message);
    }
    if (pass.failed > 0) {
        char message[320];
        copy_text(message, sizeof message, "  WARNING: Could not remove an old log backup: ");
        append_text(message, sizeof message, pass.reason);
        log_line(colour_yellow, message);
    }
}
