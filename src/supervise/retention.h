// Removing log backups older than logfile_backups_days.
#pragma once

// True when `name`, an entry of the current directory, is the file that
// `logfile` names by its name alone: the same name, ignoring case and any
// "./" or ".\" before it. Such a file is never removed, whatever its name;
// the removal also spares it when it is named by another path.
bool names_the_logfile(const char* name, const char* logfile);

// Removes the backups in the current directory that are older than
// logfile_backups_days and reports how many went and whether any stayed;
// does nothing while that setting is 0.
void remove_old_backups();
