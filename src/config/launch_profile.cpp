#include "config/launch_profile.h"

#include <cstdio>

#include "console/log_line.h"
#include "text/text.h"

char command_line[command_line_capacity] = "";

namespace {

struct launch_template {
    const char* text;
    setting_id values[7];
    std::size_t value_count;
};

// Each "%s" is replaced, left to right, by the listed setting, verbatim.
const launch_template templates[] = {
    {"%s %s?Game=DXMTL152b1.%s?Mutator=%s?-server?log=%s?MaxPlayers=%s?",
     {exename, game_startmap, game_mode_mtl, game_mutators, logfile, max_players},
     6},
    {"%s %s?Game=DeusEx.%s?-server?log=%s?MaxPlayers=%s?",
     {exename, game_startmap, game_mode_std, logfile, max_players},
     5},
    {"%s %s?Game=%s.%s?Mutator=%s?-server?log=%s?MaxPlayers=%s?",
     {exename, game_startmap, game_package_custom, game_mode_custom, game_mutators_custom,
      logfile, max_players},
     7},
};

const char label_exe[] = "             - Exe:           ";
const char label_log[] = "             - Log:           ";
const char line_mtl_true[] = "             - bMTL:          True";
const char line_mtl_false[] = "             - bMTL:          False    ";
const char label_game_type[] = "             - Game type:     ";
const char label_players[] = "             - Max. players:  ";
const char label_startmap[] = "             - Startmap:      ";
const char label_mutators[] = "             - Mutators:      ";
const char label_package[] = "             - Game package:  ";

} // namespace

launch_mode choose_launch_mode(const char* game_mtl_value)
{
    switch (game_mtl_value[0]) {
    case '1':
        return launch_mode::mtl;
    case '0':
        return launch_mode::standard;
    default:
        return launch_mode::custom;
    }
}

std::size_t summary_lines(const setting_value* values, launch_mode mode, summary_line* lines)
{
    std::size_t count = 0;
    lines[count++] = {label_exe, values[exename]};
    lines[count++] = {label_log, values[logfile]};
    switch (mode) {
    case launch_mode::mtl:
        lines[count++] = {line_mtl_true, ""};
        lines[count++] = {label_game_type, values[game_mode_mtl]};
        break;
    case launch_mode::standard:
        lines[count++] = {line_mtl_false, ""};
        lines[count++] = {label_game_type, values[game_mode_std]};
        break;
    case launch_mode::custom:
        lines[count++] = {label_package, values[game_package_custom]};
        lines[count++] = {label_game_type, values[game_mode_custom]};
        break;
    }
    lines[count++] = {label_players, values[max_players]};
    lines[count++] = {label_startmap, values[game_startmap]};
    if (mode == launch_mode::mtl) {
        lines[count++] = {label_mutators, values[game_mutators]};
    }
    return count;
}

bool compose_command_line(const setting_value* values, launch_mode mode, char* destination,
                          std::size_t capacity)
{
    const launch_template& chosen = templates[static_cast<int>(mode)];
    std::size_t next_value = 0;
    bool fits = copy_text(destination, capacity, "");
    char piece[2] = {'\0', '\0'};
    for (const char* at = chosen.text; *at != '\0' && fits; ++at) {
        if (at[0] == '%' && at[1] == 's' && next_value < chosen.value_count) {
            fits = append_text(destination, capacity, values[chosen.values[next_value++]]);
            ++at;
        } else {
            piece[0] = *at;
            fits = append_text(destination, capacity, piece);
        }
    }
    return fits;
}

bool build_launch_profile()
{
    log_line(colour_white, "  > Loaded settings:");
    launch_mode mode = choose_launch_mode(settings[game_mtl]);
    if (mode == launch_mode::custom) {
        log_line(colour_white, "  > Running MOLV in custom mode!");
    }

    summary_line lines[summary_capacity];
    std::size_t count = summary_lines(settings, mode, lines);
    for (std::size_t i = 0; i < count; ++i) {
        std::fputs(lines[i].label, stdout);
        plain_line(lines[i].value);
    }

    return compose_command_line(settings, mode, command_line, sizeof command_line);
}
