// The status record written in the Prometheus text format: a pure function
// of the record, the folder and the version.
#include "supervise/status.h"

#include <cstdio>
#include <cstring>

#include "text/text.h"

namespace {

// A text being written into a fixed buffer; once something did not fit,
// nothing more is written and the result is refused.
struct text_out {
    char* at;
    std::size_t left; // room before the terminator
    bool fits;
};

void put_bytes(text_out& out, const char* bytes, std::size_t length)
{
    if (!out.fits || length > out.left) {
        out.fits = false;
        return;
    }
    std::memcpy(out.at, bytes, length);
    out.at += length;
    out.left -= length;
}

void put(text_out& out, const char* text)
{
    put_bytes(out, text, std::strlen(text));
}

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the byte
// there does not begin one.
std::size_t utf8_length(const unsigned char* at)
{
    const unsigned char lead = at[0];
    std::size_t length = 0;
    unsigned char least = 0x80;
    unsigned char most = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        least = lead == 0xE0 ? 0xA0 : 0x80;
        most = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        least = lead == 0xF0 ? 0x90 : 0x80;
        most = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    // The first continuation byte has the narrower range; a terminator
    // fails every range.
    if (at[1] < least || at[1] > most) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// A label value as the format wants it: backslash, double quote and line
// feed escaped, and a byte that is no UTF-8 replaced by U+FFFD.
void put_label_value(text_out& out, const char* value)
{
    const unsigned char* at = reinterpret_cast<const unsigned char*>(value);
    while (*at != '\0') {
        const std::size_t length = utf8_length(at);
        if (length == 0) {
            put(out, "\xEF\xBF\xBD");
            ++at;
        } else if (*at == '\\') {
            put(out, "\\\\");
            ++at;
        } else if (*at == '"') {
            put(out, "\\\"");
            ++at;
        } else if (*at == '\n') {
            put(out, "\\n");
            ++at;
        } else {
            put_bytes(out, reinterpret_cast<const char*>(at), length);
            at += length;
        }
    }
}

void put_family(text_out& out, const char* name, const char* type, const char* help)
{
    const char* const pieces[] = {"# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"};
    for (const char* piece : pieces) {
        put(out, piece);
    }
}

// One series: the name, the folder label, one more label when `label` is
// given, and the value.
void put_series(text_out& out, const char* name, const char* folder, const char* label,
                const char* label_value, const char* value)
{
    put(out, name);
    put(out, "{folder=\"");
    put_label_value(out, folder);
    if (label != nullptr) {
        put(out, "\",");
        put(out, label);
        put(out, "=\"");
        put_label_value(out, label_value);
    }
    put(out, "\"} ");
    put(out, value);
    put(out, "\n");
}

void put_number_series(text_out& out, const char* name, const char* folder, long long value)
{
    char number[24];
    std::snprintf(number, sizeof number, "%lld", value);
    put_series(out, name, folder, nullptr, nullptr, number);
}

void put_count_series(text_out& out, const char* name, const char* folder, const char* label,
                      const char* label_value, unsigned long long value)
{
    char number[24];
    std::snprintf(number, sizeof number, "%llu", value);
    put_series(out, name, folder, label, label_value, number);
}

// A metric with a single series.
struct single_metric {
    const char* name;
    const char* type;
    const char* help;
    long long value;
};

const char* const end_causes[] = {"crashed", "hung", "scheduled", "asked"};
constexpr std::size_t end_cause_count = sizeof end_causes / sizeof end_causes[0];

// What the running instance's last answer said, while it answers: a stale
// count is worse than none.
void put_players(text_out& out, const molv_status& status, const char* folder)
{
    if (!status.server_up || !status.server_answering) {
        return;
    }
    if (status.players_known) {
        put_family(out, "molv_server_players", "gauge",
                   "Players on the gameserver, as its last answer to a status query said.");
        put_number_series(out, "molv_server_players", folder, status.players);
    }
    if (status.max_players_known) {
        put_family(out, "molv_server_max_players", "gauge",
                   "The most players the gameserver takes, as its last answer said.");
        put_number_series(out, "molv_server_max_players", folder, status.max_players);
    }
    if (status.map[0] != '\0') {
        put_family(out, "molv_server_map_info", "gauge",
                   "The map the gameserver runs, as its last answer said; always 1.");
        put_series(out, "molv_server_map_info", folder, "map", status.map, "1");
    }
}

} // namespace

std::size_t render_label_value(const char* value, char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    text_out out = {destination, capacity - 1, true};
    put_label_value(out, value);
    if (!out.fits) {
        destination[0] = '\0';
        return 0;
    }
    *out.at = '\0';
    return capacity - 1 - out.left;
}

bool speaks_for_folder(const char* text, std::size_t length, const char* label)
{
    static const char name[] = "folder=\"";
    const std::size_t name_length = sizeof name - 1;
    const std::size_t label_length = std::strlen(label);
    const std::size_t pattern_length = name_length + label_length + 1;
    // A label begins after "{" or ",", and its value ends at an unescaped
    // quote, which an escaped label never holds.
    for (std::size_t at = 1; at + pattern_length <= length; ++at) {
        if ((text[at - 1] == '{' || text[at - 1] == ',') &&
            std::memcmp(text + at, name, name_length) == 0 &&
            std::memcmp(text + at + name_length, label, label_length) == 0 &&
            text[at + name_length + label_length] == '"') {
            return true;
        }
    }
    return false;
}

std::size_t render_status(const molv_status& status, const char* folder, const char* version,
                          char* destination, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    text_out out = {destination, capacity - 1, true};
    put_family(out, "molv_info", "gauge", "MOLV's version, always 1.");
    put_series(out, "molv_info", folder, "version", version, "1");

    const single_metric before_counts[] = {
        {"molv_up", "gauge", "1 while MOLV runs; 0 in the file that an ended MOLV leaves.",
         status.molv_ended ? 0 : 1},
        {"molv_start_time_seconds", "gauge",
         "When MOLV started, in seconds since 1970-01-01 UTC.", status.start_time},
        {"molv_server_up", "gauge", "1 while a gameserver instance runs, else 0.",
         status.server_up ? 1 : 0},
        {"molv_server_start_time_seconds", "gauge",
         "When the running or last gameserver instance started, in seconds since 1970-01-01 "
         "UTC; 0 before the first.",
         status.server_start_time},
        {"molv_server_answering", "gauge",
         "1 once the running instance has answered a status query; 0 before that, when it is "
         "not watched and when none runs.",
         status.server_answering ? 1 : 0},
        {"molv_server_watched", "gauge",
         "1 when MOLV queries its gameserver to find a hang (query_port is set), else 0.",
         status.server_watched ? 1 : 0},
    };
    for (const single_metric& metric : before_counts) {
        put_family(out, metric.name, metric.type, metric.help);
        put_number_series(out, metric.name, folder, metric.value);
    }
    put_players(out, status, folder);

    put_family(out, "molv_server_launches_total", "counter",
               "Gameserver instances started since MOLV started.");
    put_count_series(out, "molv_server_launches_total", folder, nullptr, nullptr,
                     status.launches);
    put_family(out, "molv_server_launch_failures_total", "counter",
               "Launches of the gameserver that failed since MOLV started.");
    put_count_series(out, "molv_server_launch_failures_total", folder, nullptr, nullptr,
                     status.launch_failures);
    put_family(out, "molv_server_ends_total", "counter",
               "Ends of gameserver instances since MOLV started, by cause: crashed (every end "
               "it came to by itself), hung or scheduled (stopped by MOLV), asked (stopped "
               "for a restart or stop asked of MOLV).");
    for (std::size_t cause = 0; cause < end_cause_count; ++cause) {
        put_count_series(out, "molv_server_ends_total", folder, "cause", end_causes[cause],
                         status.ends[cause]);
    }
    put_family(out, "molv_retry_delay_seconds", "gauge",
               "The pause under way before the next launch, in seconds; 0 when none.");
    put_number_series(out, "molv_retry_delay_seconds", folder, status.retry_delay);

    const struct {
        const char* name;
        const char* help;
        unsigned long long value;
    } after[] = {
        {"molv_log_backups_total", "Dated copies of the server log made since MOLV started.",
         status.backups},
        {"molv_log_backup_failures_total",
         "Copies of the server log that failed since MOLV started.", status.backup_failures},
        {"molv_event_programs_not_run_total",
         "Events not passed on to the on_event program since MOLV started, because it was "
         "busy or could not be started.",
         status.events_not_run},
    };
    for (const auto& metric : after) {
        put_family(out, metric.name, "counter", metric.help);
        put_count_series(out, metric.name, folder, nullptr, nullptr, metric.value);
    }

    if (!out.fits) {
        destination[0] = '\0';
        return 0;
    }
    *out.at = '\0';
    return capacity - 1 - out.left;
}
