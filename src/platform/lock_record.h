// The text of the lock file "molv.lock": the process id of the MOLV that
// holds it, what tells that MOLV apart from a later process with the same
// id, and the server it started last with the same for that process (on
// Linux the clock ticks since boot that its start came no later than and
// the boot's id, on Windows its creation time). After them comes what
// "molv --status" tells of the run. A last line "end" marks a record
// written whole:
//
//   molv 4242
//   since 1765275100 8812300 1f0c5c3e-0a4b-4a43-9a62-4b1d6f0e7a21
//   server 4250 8812345 1f0c5c3e-0a4b-4a43-9a62-4b1d6f0e7a21
//   log 1835021 20480 1765275123.250000000
//   answered
//   backup 9.12.2026__10_12_03.log
//   launches 7
//   running 1765275123
//   ended crashed 1765275000
//   next_start 1765275131
//   next_restart 1765300000
//   players 3 10 DXMP_Area51_Bunker
//   end
//
// The server line is left out while none has been started. The server is
// recorded before it can run, with what told the log file apart at that
// moment ("log", left out when there was none): a log that is still the
// same was not written by that server. "answered" follows once it has
// answered a status query; "backup" once its end has been seen, naming the
// copy of its log that is made then, written before that copy is begun. A
// record whose server has ended without a "backup" line, or whose backup is
// not there, leaves the log of that server still to be copied.
//
// "since" gives when the MOLV started, "running" when the recorded server
// started or was found (left out when none runs), "ended" how and when the
// last server ended, "next_start" the end of a pause before the next
// launch, "next_restart" the next scheduled restart, and "players" the
// players, the most the server takes (0: not told) and the map of the
// running server's last answer; each is left out when it says nothing.
// Times are seconds since 1970-01-01 UTC.
#pragma once

#include <cstddef>

// Room for the identity of a process and for the whole record.
constexpr std::size_t process_identity_capacity = 96;
constexpr std::size_t record_backup_capacity = 64;
constexpr std::size_t file_fingerprint_capacity = 96;
constexpr std::size_t end_cause_capacity = 16;
constexpr std::size_t record_map_capacity = 64;
constexpr std::size_t lock_record_capacity = 768;

// What the record tells of the run, kept up to date by the cycle.
struct run_facts {
    unsigned long long launches;
    long long server_since;         // 0 while no server runs
    char last_end[end_cause_capacity]; // "crashed", "hung", ...; "" none yet
    long long last_end_at;
    long long next_start;   // 0 outside a pause
    long long next_restart; // 0 without a schedule
    bool players_known;     // the running server's last answer told them
    unsigned players;
    unsigned max_players; // 0 when not told
    char map[record_map_capacity];
};

struct lock_record {
    unsigned long molv;   // 0 when unknown
    long long molv_since; // 0 when unknown
    char molv_identity[process_identity_capacity];
    unsigned long server; // 0 when no server is recorded
    char identity[process_identity_capacity];
    char log[file_fingerprint_capacity]; // the log at the launch; "" none
    bool answered;                       // the server has answered a query
    char backup[record_backup_capacity]; // the copy of its log after its end
    run_facts facts;
};

bool same_facts(const run_facts& one, const run_facts& other);

// The record a MOLV writes as it takes the lock: the server of the record
// it `found`, its own process id, identity and start time (`identity` ""
// and `since` 0 where its identity could not be read), and no facts of a
// run yet.
lock_record record_of_new_molv(const lock_record& found, unsigned long molv,
                               const char* identity, long long since);

// Writes the record's text to `destination`; false (and an empty text)
// when it does not fit or a text of it holds a line end or a blank where
// none may stand. Without a server, its lines are left out.
bool compose_lock_record(const lock_record& record, char* destination, std::size_t capacity);

// Reads the first `length` bytes of `text`. The MOLV's id is taken from any
// record that has its first line whole; everything else only from one that
// ends in "end", and holds nothing unknown. Returns false when not even the
// MOLV's line could be read.
bool parse_lock_record(const char* text, std::size_t length, lock_record& record);
