// The decisions of the hang watchdog, the scheduled restarts and the event
// calls, as tables of times and answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "supervise/events.h"
#include "supervise/schedule.h"
#include "supervise/watchdog.h"

namespace {

TEST(Watchdog, QueriesEveryQuarterOfTheTimeoutWithinOneToFifteenSeconds)
{
    const unsigned cases[][2] = {{1, 1},   {3, 1},   {4, 1},    {7, 1},     {8, 2},
                                 {10, 2},  {59, 14}, {60, 15},  {61, 15},   {86400, 15}};
    for (const auto& entry : cases) {
        EXPECT_EQ(query_interval_seconds(entry[0]), entry[1]) << entry[0];
    }
}

// One look at the watchdog at `at` ms after the launch, after an answer at
// that time when `answer`, and what it should decide.
struct look {
    unsigned long long at;
    bool answer;
    bool send;
    bool warn;
    bool hung;
    unsigned long long wake;
};

void run_looks(unsigned hang_timeout, const std::vector<look>& looks)
{
    const unsigned long long launch = 5000000;
    watchdog dog = watchdog_start(launch, hang_timeout);
    for (const look& entry : looks) {
        const watchdog_step step = watchdog_look(dog, launch + entry.at, entry.answer);
        EXPECT_EQ(step.send_query, entry.send) << "at " << entry.at;
        EXPECT_EQ(step.warn_no_answer, entry.warn) << "at " << entry.at;
        EXPECT_EQ(step.hung, entry.hung) << "at " << entry.at;
        EXPECT_EQ(step.wake_at_ms, launch + entry.wake) << "at " << entry.at;
    }
}

TEST(Watchdog, SilenceAfterAnAnswerIsAHangOnceTheTimeoutHasPassed)
{
    // hang_timeout 20: a query every 5 s.
    run_looks(20, {
                      {0, false, true, false, false, 5000},
                      {300, true, false, false, false, 5000},
                      {5000, false, true, false, false, 10000},
                      {10000, false, true, false, false, 15000},
                      {15000, false, true, false, false, 20000},
                      // Due at 20300, before the query at 25000.
                      {20000, false, true, false, false, 20300},
                      {20299, false, false, false, false, 20300},
                      {20300, false, false, false, true, 25000},
                  });
}

TEST(Watchdog, AnAnswerJustBeforeTheTimeoutKeepsTheServer)
{
    run_looks(8, {
                     {0, false, true, false, false, 2000},
                     {100, true, false, false, false, 2000},
                     {2000, false, true, false, false, 4000},
                     {4000, false, true, false, false, 6000},
                     {6000, false, true, false, false, 8000},
                     {8099, true, true, false, false, 10099},
                     {10099, false, true, false, false, 12099},
                     {12099, false, true, false, false, 14099},
                     {14099, false, true, false, false, 16099},
                     {16098, false, false, false, false, 16099},
                     {16099, false, true, false, true, 18099},
                 });
}

TEST(Watchdog, AServerThatNeverAnsweredIsNeverHungAndWarnedOfOnce)
{
    run_looks(60, {
                      {0, false, true, false, false, 15000},
                      {15000, false, true, false, false, 30000},
                      {290000, false, true, false, false, 300000},
                      {300000, false, false, true, false, 305000},
                      {305000, false, true, false, false, 320000},
                      {3600000, false, true, false, false, 3615000},
                  });
}

TEST(Watchdog, AFirstAnswerAfterTheWarningArmsIt)
{
    run_looks(4, {
                     {0, false, true, false, false, 1000},
                     {300000, false, true, true, false, 301000},
                     {300500, true, false, false, false, 301000},
                     {301000, false, true, false, false, 302000},
                     {302000, false, true, false, false, 303000},
                     {303000, false, true, false, false, 304000},
                     {304000, false, true, false, false, 304500},
                     {304499, false, false, false, false, 304500},
                     {304500, false, false, false, true, 305000},
                 });
}

TEST(Watchdog, ASlowServerThatAnswersEverySecondQueryIsKept)
{
    // hang_timeout 4 s, a query every second, an answer 900 ms after every
    // second query.
    const unsigned long long launch = 1000;
    watchdog dog = watchdog_start(launch, 4);
    for (unsigned long long t = 0; t <= 600000; t += 100) {
        ASSERT_FALSE(watchdog_look(dog, launch + t, t % 2000 == 900).hung) << t;
    }
}

TEST(Watchdog, MolvsOwnAbsenceIsNotTheServersSilence)
{
    // hang_timeout 4 s, a query every second; MOLV stopped from 2 s to 11 s.
    // On its return the silence counts from 11 s: a query goes out at once,
    // and the answer to it keeps the server.
    run_looks(4, {
                     {0, false, true, false, false, 1000},
                     {100, true, false, false, false, 1000},
                     {1000, false, true, false, false, 2000},
                     {11000, false, true, false, false, 12000},
                     {11050, true, false, false, false, 12000},
                     {12000, false, true, false, false, 13000},
                     {13000, false, true, false, false, 14000},
                     {14000, false, true, false, false, 15000},
                     {15000, false, true, false, false, 15050},
                     {15050, false, false, false, true, 16000},
                 });
    // A late wake within one interval of the wake asked for is no absence.
    run_looks(4, {
                     {0, false, true, false, false, 1000},
                     {100, true, false, false, false, 1000},
                     {1900, false, true, false, false, 2900},
                     {2900, false, true, false, false, 3900},
                     {3900, false, true, false, false, 4100},
                     {4100, false, false, false, true, 4900},
                 });
}

TEST(Watchdog, AnAnswerWaitingAtTheDeadlineIsReadBeforeTheDecision)
{
    run_looks(4, {
                     {0, false, true, false, false, 1000},
                     {100, true, false, false, false, 1000},
                     {1000, false, true, false, false, 2000},
                     {2000, false, true, false, false, 3000},
                     {3000, false, true, false, false, 4000},
                     {4000, false, true, false, false, 4100},
                     // The deadline, with the answer to the query at 4 s read
                     // in the same look.
                     {4100, true, false, false, false, 5000},
                 });
}

TEST(Watchdog, AServerSilentAfterMolvsAbsenceIsHungOneTimeoutLater)
{
    run_looks(8, {
                     {0, false, true, false, false, 2000},
                     {500, true, false, false, false, 2000},
                     {2000, false, true, false, false, 4000},
                     // Away for 30 s; the server fell silent meanwhile.
                     {34000, false, true, false, false, 36000},
                     {36000, false, true, false, false, 38000},
                     {38000, false, true, false, false, 40000},
                     {40000, false, true, false, false, 42000},
                     {42000, false, true, false, true, 44000},
                 });
}

// Local seconds of a date and time of day.
long long local(long long year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                unsigned second = 0)
{
    return days_from_civil(year, month, day) * seconds_per_day + hour * 3600 + minute * 60 +
           second;
}

restart_list times_of(const char* text)
{
    restart_list list = {};
    EXPECT_TRUE(read_restart_times(text, list)) << text;
    return list;
}

TEST(Schedule, CalendarDaysCountFrom1970)
{
    EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(days_from_civil(2000, 3, 1), 11017);
    EXPECT_EQ(days_from_civil(2026, 12, 8), 20795);
    EXPECT_EQ(days_from_civil(1969, 12, 31), -1);
    EXPECT_EQ(local_day(-1), -1);
    EXPECT_EQ(local_day(local(2026, 3, 29, 23, 59, 59)), days_from_civil(2026, 3, 29));
}

// A wall clock read again and again: at each look, the listed time due, or
// "" for none.
struct clock_look {
    long long local;
    const char* due;
};

void run_clock(const char* listed, const std::vector<clock_look>& looks)
{
    const restart_list list = times_of(listed);
    restart_memory memory = restart_memory_start();
    long long last = looks.front().local;
    for (const clock_look& entry : looks) {
        const int due = due_restart(list, memory, last, entry.local);
        EXPECT_EQ(due < 0 ? std::string() : std::string(list.written[due]), entry.due)
            << listed << " at local " << entry.local;
        last = entry.local;
    }
}

TEST(Schedule, ATimeIsDueOnceWhenTheClockPassesIt)
{
    run_clock("05:30, 17:00:30", {
                                     {local(2026, 6, 1, 5, 0), ""},
                                     {local(2026, 6, 1, 5, 29, 59), ""},
                                     {local(2026, 6, 1, 5, 30), "05:30"},
                                     {local(2026, 6, 1, 5, 30, 1), ""},
                                     {local(2026, 6, 1, 17, 0, 29), ""},
                                     {local(2026, 6, 1, 17, 0, 31), "17:00:30"},
                                     {local(2026, 6, 2, 5, 30), "05:30"},
                                     {local(2026, 6, 2, 12, 0), ""},
                                 });
}

TEST(Schedule, SummerTimeAndClockChanges)
{
    // Summer time begins: 02:00 becomes 03:00, and 02:30 is taken at the jump.
    run_clock("02:30", {
                           {local(2026, 3, 29, 1, 59, 59), ""},
                           {local(2026, 3, 29, 3, 0, 0), "02:30"},
                           {local(2026, 3, 29, 3, 30), ""},
                       });
    // Summer time ends: 03:00 becomes 02:00 again, and 02:30 counts once.
    run_clock("02:30", {
                           {local(2026, 10, 25, 2, 0), ""},
                           {local(2026, 10, 25, 2, 30), "02:30"},
                           {local(2026, 10, 25, 2, 59, 59), ""},
                           {local(2026, 10, 25, 2, 0, 0), ""},
                           {local(2026, 10, 25, 2, 30, 0), ""},
                           {local(2026, 10, 25, 3, 0, 0), ""},
                           {local(2026, 10, 26, 2, 30, 0), "02:30"},
                       });
    // A clock set back by an hour just after a restart.
    run_clock("12:00", {
                           {local(2026, 7, 1, 11, 59), ""},
                           {local(2026, 7, 1, 12, 0, 5), "12:00"},
                           {local(2026, 7, 1, 11, 0, 5), ""},
                           {local(2026, 7, 1, 12, 0, 5), ""},
                           {local(2026, 7, 1, 13, 0), ""},
                       });
    // A clock set forward over midnight and two listed times: one restart,
    // both taken, and the later of the two named.
    run_clock("23:30, 00:30", {
                                  {local(2026, 7, 1, 23, 0), ""},
                                  {local(2026, 7, 2, 1, 0), "00:30"},
                                  {local(2026, 7, 2, 1, 0, 1), ""},
                                  {local(2026, 7, 2, 23, 30), "23:30"},
                              });
    // A clock set forward by days restarts once, not once a day missed.
    run_clock("06:00", {
                           {local(2026, 7, 1, 7, 0), ""},
                           {local(2026, 7, 5, 7, 0), "06:00"},
                           {local(2026, 7, 5, 8, 0), ""},
                       });
}

TEST(Schedule, TheNextTimeIsTheNearestAfterNow)
{
    const restart_list list = times_of("05:30, 17:00, 23:59:59");
    EXPECT_EQ(next_restart_local(list, local(2026, 6, 1, 5, 0)), local(2026, 6, 1, 5, 30));
    EXPECT_EQ(next_restart_local(list, local(2026, 6, 1, 5, 30)), local(2026, 6, 1, 17, 0));
    EXPECT_EQ(next_restart_local(list, local(2026, 6, 1, 23, 59, 59)), local(2026, 6, 2, 5, 30));
    EXPECT_EQ(next_restart_local(times_of(""), local(2026, 6, 1, 5, 0)), -1);
}

// A zone one hour ahead of UTC that moves to two hours ahead at 01:00 UTC on
// day 20541 (2026-03-29) and back at 01:00 UTC on day 20751 (2026-10-25).
long long zone(long long epoch)
{
    const long long summer_starts = 20541 * seconds_per_day + 3600;
    const long long summer_ends = 20751 * seconds_per_day + 3600;
    return epoch + (epoch >= summer_starts && epoch < summer_ends ? 7200 : 3600);
}

TEST(Schedule, TheAlarmComesAtTheTimeOrAtTheJumpOverIt)
{
    const long long spring = 20541 * seconds_per_day;
    // 00:30 UTC is 01:30 local; 01:45 local comes 15 minutes later.
    EXPECT_EQ(alarm_epoch(spring + 1800, spring + 6300, zone), spring + 2700);
    // 02:30 local does not exist that day: the alarm is at the jump, 01:00 UTC.
    EXPECT_EQ(alarm_epoch(spring + 1800, spring + 9000, zone), spring + 3600);
    // In autumn the offset shrinks on the way: the alarm comes early, and a
    // later look finds the time again.
    const long long autumn = 20751 * seconds_per_day;
    const long long early = alarm_epoch(autumn, autumn + 4 * 3600, zone);
    EXPECT_LT(zone(early), autumn + 4 * 3600);
    EXPECT_EQ(alarm_epoch(early, autumn + 4 * 3600, zone), autumn + 3 * 3600);
    // A time that is already there is due at once.
    EXPECT_EQ(alarm_epoch(spring, zone(spring), zone), spring + 1);
}

TEST(Events, ArgumentsAreCutAtTheirCapacity)
{
    event_call call;
    EXPECT_TRUE(compose_event_call("launch_failed", "No such file or directory", call));
    EXPECT_STREQ(call.event, "launch_failed");
    EXPECT_STREQ(call.detail, "No such file or directory");

    const std::string fits(event_detail_capacity - 1, 'd');
    EXPECT_TRUE(compose_event_call("ended", fits.c_str(), call));
    EXPECT_EQ(std::string(call.detail), fits);
    EXPECT_FALSE(compose_event_call("ended", (fits + "e").c_str(), call));
    EXPECT_EQ(std::string(call.detail), fits);

    const std::string word(event_word_capacity, 'w');
    EXPECT_FALSE(compose_event_call(word.c_str(), "", call));
    EXPECT_EQ(std::strlen(call.event), event_word_capacity - 1);
}

TEST(Events, AnEndIsAnExitCodeASignalOrUnknown)
{
    char detail[32];
    describe_server_end({false, 0, false}, detail, sizeof detail);
    EXPECT_STREQ(detail, "exit 0");
    describe_server_end({true, 9, false}, detail, sizeof detail);
    EXPECT_STREQ(detail, "signal 9");
    describe_server_end({false, 3221225477UL, false}, detail, sizeof detail);
    EXPECT_STREQ(detail, "exit 3221225477");
    char small[7];
    describe_server_end({true, 15, false}, small, sizeof small);
    EXPECT_STREQ(small, "signal");
    describe_server_end({true, 15, true}, detail, sizeof detail);
    EXPECT_STREQ(detail, "unknown");
}

} // namespace
