// One settings file for each launch mode, with what molv must make of it:
// the settings summary and the server command line. The values differ from
// the defaults, so every one of them is seen to travel.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct launch_case {
    const char* name;
    const char* settings;
    const char* exename;
    // The stamped lines after "  > Loaded settings:" and before the summary.
    const char* notes;
    const char* summary;
    const char* command_line;
};

inline const launch_case launch_cases[] = {
    {"mtl",
     "[GENERAL]\nlogfile=server.log\n[GAME]\ngame_mtl=1\ngame_mode_mtl=MTLTeamDM\n"
     "game_mutators=DXMTL152b1.MTLMutator\ngame_startmap=DXMP_Cathedral\nmax_players=16\n",
     "deusex.exe",
     "",
     "             - Exe:           deusex.exe\n"
     "             - Log:           server.log\n"
     "             - bMTL:          True\n"
     "             - Game type:     MTLTeamDM\n"
     "             - Max. players:  16\n"
     "             - Startmap:      DXMP_Cathedral\n"
     "             - Mutators:      DXMTL152b1.MTLMutator\n",
     "deusex.exe DXMP_Cathedral?Game=DXMTL152b1.MTLTeamDM?Mutator=DXMTL152b1.MTLMutator"
     "?-server?log=server.log?MaxPlayers=16?"},
    {"standard",
     "[general]\r\nlogfile = game.log\r\n[GAME]\r\ngame_mtl=0\r\ngame_mode_std=TeamDMGame\r\n"
     "game_mutators=Ignored.InThisMode\r\ngame_startmap=DXMP_Smuggler\r\nmax_players=8\r\n",
     "deusex.exe",
     "",
     "             - Exe:           deusex.exe\n"
     "             - Log:           game.log\n"
     "             - bMTL:          False    \n"
     "             - Game type:     TeamDMGame\n"
     "             - Max. players:  8\n"
     "             - Startmap:      DXMP_Smuggler\n",
     "deusex.exe DXMP_Smuggler?Game=DeusEx.TeamDMGame?-server?log=game.log?MaxPlayers=8?"},
    {"custom",
     "[GENERAL]\nexename=my server.exe\nlogfile=custom.log\n[GAME]\ngame_mtl=yes\n"
     "game_package_custom=MyPackage\ngame_mode_custom=ArenaGame\n"
     "game_mutators_custom=MyPackage.LowGrav\ngame_startmap=DXMP_Silo\nmax_players=lots\n",
     "my server.exe",
     "[HH:MM:SS]   > Running MOLV in custom mode!\n",
     "             - Exe:           my server.exe\n"
     "             - Log:           custom.log\n"
     "             - Game package:  MyPackage\n"
     "             - Game type:     ArenaGame\n"
     "             - Max. players:  lots\n"
     "             - Startmap:      DXMP_Silo\n",
     "my server.exe DXMP_Silo?Game=MyPackage.ArenaGame?Mutator=MyPackage.LowGrav"
     "?-server?log=custom.log?MaxPlayers=lots?"},
};

// The name of a case in test names.
inline std::string mode_name(const testing::TestParamInfo<launch_case>& case_info)
{
    return case_info.param.name;
}

// The banner as molv shows it with its stamps masked, and the empty line
// after it.
std::string expected_banner();

// Everything molv shows up to and including the empty line after the
// summary, for a settings file (or none) in the given mode.
std::string expected_start(bool settings_found, const launch_case& mode);

// The end of a start-up that stops at the executable check.
std::string expected_refusal(const char* error);

// The summary lines of standard and mtl mode for the given values.
std::string standard_summary(const std::string& exe, const std::string& log,
                             const std::string& type, const std::string& players,
                             const std::string& map);
std::string mtl_summary(const std::string& exe, const std::string& log, const std::string& type,
                        const std::string& players, const std::string& map,
                        const std::string& mutators);
