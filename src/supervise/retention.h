// Removing log backups older than logfile_backups_days.
#pragma once

// True when `name`, an entry of the current directory `folder` (written
// with its final separator), is the file that `logfile` names: the same
// name, ignoring case, the folder and any "./" or ".\" before it. Such a
// file is never removed, whatever its name.
bool names_the_logfile(const char* name, const char* logfile, const char* folder);

// Removes the backups in the current directory that are older than
// logfile_backups_days and reports how many went and whether any stayed;
// does nothing while that setting is 0.
void remove_old_backups();
