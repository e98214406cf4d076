// Restart speed: MOLV against the reference loop on the server that ends at
// once, backups on and off, and MOLV with the watchdog on and with a status
// file, in alternating rounds.
#include "driver.h"

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <vector>

namespace bench {

// ------------------------------------------------------------ speed cases

namespace {

struct speed_result {
    bool ok = false;
    double rate = 0.0;   // restarts per second, from the median start-to-start time
    double gap_us = 0.0; // median end-to-start time within the case
    double cpu_us = 0.0; // supervisor CPU per restart
    long rss_kb = 0;
    unsigned long busy_events = 0; // events let pass, the event programs busy
};

// Instance 1 is the first start. The figures cover the instances after the
// warm-up stop: CPU from the stop at `first` to the stop at `last`
// (last - first restarts); rate and gaps from instance first+1 on, since the
// stop itself holds up the instance `first`. The CPU figure is a mean (time
// waiting for a core is not CPU time); the other two are medians. With a
// status file set, the file must have been written before each wait: at the
// last stop it counts every launch and the server as up.
speed_result speed_case(const options& opt, supervisor kind, bool backups, const char* folder,
                        const char* general = "")
{
    const bool status_file = std::strstr(general, "status_file=") != nullptr;
    // With on_event set, an event let pass while four programs still run is
    // MOLV's rule, counted and shown, not a fault of the run.
    const bool events = std::strstr(general, "on_event=") != nullptr;
    speed_result result;
    const unsigned long first = 3;
    const unsigned long last = first + opt.restarts;
    launch what;
    what.kind = kind;
    what.backups = backups;
    what.folder = folder;
    std::snprintf(what.stop_at, sizeof what.stop_at, "%lu,%lu", first, last);
    if (!prepare_folder(opt, folder, backups, pacing::immediate, general)) {
        return result;
    }

    pid_t pid = start_supervisor(opt, what);
    if (pid < 0) {
        return result;
    }
    const unsigned limit = static_cast<unsigned>(60 + opt.restarts / 50);
    snapshot at_first;
    snapshot at_last;
    bool stopped = wait_for_stop(pid, limit) == wait_outcome::stopped;
    if (stopped) {
        at_first = take_snapshot(pid);
        kill(pid, SIGCONT);
        stopped = wait_for_stop(pid, limit) == wait_outcome::stopped;
    }
    if (stopped) {
        at_last = take_snapshot(pid);
    }
    // Read while MOLV is stopped in its wait; killed, it writes nothing more.
    const long long launches =
        stopped && status_file ? read_status_value(folder, "molv_server_launches_total") : 0;
    const long long up = stopped && status_file ? read_status_value(folder, "molv_server_up") : 0;
    kill_and_reap(pid);
    reap_orphans();
    if (!stopped) {
        std::fprintf(stderr, "bench: %s did not reach %lu restarts (see %s/out.txt)\n",
                     kind_name(kind), last - 1, folder);
        return result;
    }

    std::vector<stamp> stamps = read_stamps(folder);
    if (stamps.size() < last) {
        std::fprintf(stderr, "bench: %s: only %zu server records\n", kind_name(kind),
                     stamps.size());
        return result;
    }
    // Instance k is stamps[k - 1].
    // Medians within the case: a burst of other work on the machine then
    // costs a few cycles their place, not the whole figure.
    std::vector<double> gaps;
    std::vector<double> cycles;
    for (unsigned long k = first + 1; k < last; ++k) {
        gaps.push_back(static_cast<double>(stamps[k].start - stamps[k - 1].end) / 1000.0);
        cycles.push_back(static_cast<double>(stamps[k].start - stamps[k - 1].start) / 1000.0);
    }
    double cycle_us = median(cycles);
    result.rate = cycle_us > 0.0 ? 1e6 / cycle_us : 0.0;
    result.gap_us = median(gaps);
    result.cpu_us = static_cast<double>(at_last.cpu_ns - at_first.cpu_ns) / 1000.0 /
                    static_cast<double>(last - first);
    result.rss_kb = at_last.rss_kb;

    // The transcript and the backups must show the same work for both loops.
    line_counts lines = count_lines(folder);
    unsigned long backups_made = count_backups(folder);
    bool consistent = lines.restarting == last - 1 && lines.ended + 1 >= last - 1 &&
                      lines.ended <= last - 1 && lines.other_warnings == 0 &&
                      (events || lines.busy_events == 0) &&
                      lines.backed_up == (backups ? lines.ended : 0) &&
                      backups_made == lines.backed_up;
    if (!consistent) {
        std::fprintf(stderr,
                     "bench: %s transcript does not match: %lu restarts, %lu ends, %lu "
                     "backup lines, %lu backup files, %lu other warnings (expected %lu "
                     "restarts)\n",
                     kind_name(kind), lines.restarting, lines.ended, lines.backed_up,
                     backups_made, lines.other_warnings + lines.busy_events, last - 1);
        return result;
    }
    if (status_file && (launches != static_cast<long long>(last) || up != 1)) {
        std::fprintf(stderr,
                     "bench: MOLV's status file (%s/%s) shows %lld launches and up %lld at "
                     "instance %lu; expected %lu and 1\n",
                     folder, status_name, launches, up, last, last);
        return result;
    }
    result.busy_events = lines.busy_events;
    clean_folder(folder);
    result.ok = true;
    return result;
}

// Every feature on at once is judged more strictly on its end-to-start.
constexpr double all_features_goal = 1.10;

struct series {
    std::vector<double> rate;
    std::vector<double> gap;
    std::vector<double> cpu;
};

void add(series& s, const speed_result& r)
{
    s.rate.push_back(r.rate);
    s.gap.push_back(r.gap_us);
    s.cpu.push_back(r.cpu_us);
}

// The cases of the speed comparison. The watchdog case is MOLV with
// backups off and a query port set: each instance gets its socket, its
// first query and its place in the wait. The status case is MOLV with
// backups off and a status file set: each launch and each end changes it,
// and MOLV writes it once before it waits.
enum speed_slot {
    molv_on,
    reference_on,
    molv_off,
    reference_off,
    molv_watchdog,
    molv_status,
    molv_all,
    slot_count
};

// The order of the cases in a round. The reference goes first in odd
// rounds, MOLV in even ones; the watchdog case sits next to the reference
// without backups, before it in odd rounds and after it in even ones, and
// the status case next to the watchdog case, on the far side from the
// reference: the order of odd rounds is that of even ones reversed.
std::vector<speed_slot> round_order(const options& opt, unsigned round)
{
    const bool molv_first = round % 2 == 0;
    std::vector<speed_slot> order;
    // Every feature at once is judged against the reference with backups,
    // and sits on the far side of it from MOLV with backups alone.
    const bool with_backups = opt.run_speed || opt.run_all_features;
    if (with_backups) {
        if (molv_first) {
            if (opt.run_speed) {
                order.push_back(molv_on);
            }
            order.push_back(reference_on);
            if (opt.run_all_features) {
                order.push_back(molv_all);
            }
        } else {
            if (opt.run_all_features) {
                order.push_back(molv_all);
            }
            order.push_back(reference_on);
            if (opt.run_speed) {
                order.push_back(molv_on);
            }
        }
    }
    if (molv_first) {
        order.insert(order.end(), {molv_off, reference_off});
        if (opt.run_watchdog_speed) {
            order.push_back(molv_watchdog);
        }
        if (opt.run_status_speed) {
            order.push_back(molv_status);
        }
    } else {
        if (opt.run_status_speed) {
            order.push_back(molv_status);
        }
        if (opt.run_watchdog_speed) {
            order.push_back(molv_watchdog);
        }
        order.insert(order.end(), {reference_off, molv_off});
    }
    return order;
}

} // namespace

bool run_speed(const options& opt)
{
    char folders[slot_count][4096];
    const char* names[slot_count] = {"molv_on",       "reference_on",  "molv_off",
                                     "reference_off", "molv_watchdog", "molv_status",
                                     "molv_all"};
    for (int i = 0; i < slot_count; ++i) {
        if (!join(folders[i], sizeof folders[i], opt.work, names[i])) {
            return false;
        }
    }
    // The server ends at once and binds no port, as a real server that is
    // still loading: MOLV's query finds nothing there and gets no answer.
    char watchdog_settings[64] = "";
    if (opt.run_watchdog_speed) {
        const unsigned port = free_udp_port();
        if (port == 0) {
            std::fprintf(stderr, "bench: no free UDP port for the watchdog case\n");
            return false;
        }
        std::snprintf(watchdog_settings, sizeof watchdog_settings, "query_port=%u\n", port);
    }
    // Every feature: the watchdog, the status file, an event program for
    // each start and end (one that ends at once), and a scheduled restart
    // half a day away, which does not come during the case.
    char all_settings[256] = "";
    if (opt.run_all_features) {
        const unsigned port = free_udp_port();
        const std::time_t now = std::time(nullptr);
        const std::tm* local = std::localtime(&now);
        if (port == 0 || local == nullptr) {
            std::fprintf(stderr, "bench: no free UDP port or local time for every feature\n");
            return false;
        }
        std::snprintf(all_settings, sizeof all_settings,
                      "query_port=%u\n%son_event=/bin/true\nrestart_at=%02d:%02d\n", port,
                      status_setting, (local->tm_hour + 12) % 24, local->tm_min);
    }
    series results_of[slot_count];
    unsigned long all_busy_events = 0;
    std::vector<double> molv_rss;
    std::vector<double> reference_rss;
    for (unsigned round = 0; round < opt.rounds; ++round) {
        speed_result results[slot_count];
        for (speed_slot slot : round_order(opt, round)) {
            const bool molv = slot == molv_on || slot == molv_off || slot == molv_watchdog ||
                              slot == molv_status || slot == molv_all;
            const char* general = slot == molv_watchdog ? watchdog_settings
                                  : slot == molv_status ? status_setting
                                  : slot == molv_all    ? all_settings
                                                        : "";
            results[slot] = speed_case(opt, molv ? supervisor::molv : supervisor::reference,
                                       slot == molv_on || slot == reference_on ||
                                           slot == molv_all,
                                       folders[slot], general);
            if (!results[slot].ok) {
                return false;
            }
            add(results_of[slot], results[slot]);
            if (slot == molv_all) {
                all_busy_events += results[slot].busy_events;
            }
        }
        molv_rss.push_back(static_cast<double>(
            std::max(std::max(results[molv_on].rss_kb, results[molv_off].rss_kb),
                     std::max(results[molv_watchdog].rss_kb, results[molv_status].rss_kb))));
        reference_rss.push_back(static_cast<double>(
            std::max(results[reference_on].rss_kb, results[reference_off].rss_kb)));
        char watchdog_text[96] = "";
        if (opt.run_watchdog_speed) {
            std::snprintf(watchdog_text, sizeof watchdog_text, ", MOLV with watchdog %.0f",
                          results[molv_watchdog].rate);
        }
        if (opt.run_status_speed) {
            const std::size_t used = std::strlen(watchdog_text);
            std::snprintf(watchdog_text + used, sizeof watchdog_text - used,
                          ", with status file %.0f", results[molv_status].rate);
        }
        if (opt.run_speed) {
            std::fprintf(stderr,
                         "  round %u/%u: restarts/s  MOLV %.0f / %.0f   reference %.0f / %.0f "
                         "(backups on / off)%s\n",
                         round + 1, opt.rounds, results[molv_on].rate, results[molv_off].rate,
                         results[reference_on].rate, results[reference_off].rate, watchdog_text);
        } else {
            std::fprintf(stderr,
                         "  round %u/%u: restarts/s  MOLV %.0f   reference %.0f (backups off)%s\n",
                         round + 1, opt.rounds, results[molv_off].rate,
                         results[reference_off].rate, watchdog_text);
        }
    }

    std::printf("\nRestart speed: %u rounds of %lu restarts per case, %lu-byte server log, "
                "MOLV and reference alternating\n",
                opt.rounds, opt.restarts, opt.log_bytes);
    std::printf("  (median [min..max] over rounds; ratio = MOLV / reference, paired by round; "
                "goal on the median ratio;\n   restarts per second and end-to-start from the "
                "median cycle of each case, CPU per restart as total / restarts%s%s)\n",
                opt.run_watchdog_speed ? ";\n   watchdog on: MOLV with backups off and "
                                         "query_port set, against the reference without copy"
                                       : "",
                opt.run_status_speed ? ";\n   status file: MOLV with backups off and "
                                       "status_file set, against the reference without copy"
                                     : "");
    std::printf("  %-12s %-22s %-26s %-26s %-22s  %s\n", "case", "figure", "MOLV", "reference",
                "MOLV/reference", "goal");
    struct row {
        const char* label;
        speed_slot molv;
        speed_slot reference;
    };
    std::vector<row> rows;
    if (opt.run_speed) {
        rows.push_back({"backups on", molv_on, reference_on});
    }
    rows.push_back({"backups off", molv_off, reference_off});
    if (opt.run_watchdog_speed) {
        rows.push_back({"watchdog on", molv_watchdog, reference_off});
    }
    if (opt.run_status_speed) {
        rows.push_back({"status file", molv_status, reference_off});
    }
    if (opt.run_all_features) {
        rows.push_back({"every feature", molv_all, reference_on});
    }
    // With the watchdog on or a status file set, the goal is on the
    // end-to-start time alone; the other figures show what the query or the
    // file adds.
    bool met = true;
    bool watchdog_met = true;
    bool status_met = true;
    bool all_met = true;
    for (const row& each : rows) {
        const series& m = results_of[each.molv];
        const series& r = results_of[each.reference];
        const bool watchdog = each.molv == molv_watchdog;
        const bool status = each.molv == molv_status;
        const bool all = each.molv == molv_all;
        const double goal = watchdog || status || all ? no_goal : goal_ratio;
        const bool rate_met =
            print_row(each.label, "restarts per second", m.rate, r.rate, true, "%.0f", goal);
        const bool gap_met = print_row(each.label, "end-to-start (us)", m.gap, r.gap, false,
                                       "%.1f", all ? all_features_goal : goal_ratio);
        const bool cpu_met =
            print_row(each.label, "CPU per restart (us)", m.cpu, r.cpu, false, "%.1f", goal);
        if (all) {
            all_met = gap_met;
        } else if (watchdog) {
            watchdog_met = gap_met;
        } else if (status) {
            status_met = gap_met;
        } else {
            met = rate_met && gap_met && cpu_met && met;
        }
    }
    std::printf("  Goal: MOLV within %.2fx of the reference on every judged ratio: %s\n",
                goal_ratio, met ? "met" : "MISSED");
    if (opt.run_watchdog_speed) {
        std::printf("  Goal: watchdog on, end-to-start within %.2fx of the reference: %s\n",
                    goal_ratio, watchdog_met ? "met" : "MISSED");
    }
    if (opt.run_status_speed) {
        std::printf("  Goal: status file set, end-to-start within %.2fx of the reference: %s\n",
                    goal_ratio, status_met ? "met" : "MISSED");
    }
    if (opt.run_all_features) {
        std::printf("  Goal: every feature on, end-to-start within %.2fx of the reference with "
                    "backups: %s\n",
                    all_features_goal, all_met ? "met" : "MISSED");
        std::printf("  Every feature on: %lu of %lu events let pass, four event programs "
                    "still running\n",
                    all_busy_events, 2 * static_cast<unsigned long>(opt.rounds) * opt.restarts);
    }
    if (opt.quick) {
        std::printf("  (quick mode: too few restarts and rounds for the ratios to mean much)\n");
    }
    std::printf("  Resident memory at the end of a case: MOLV %.0f kB, reference %.0f kB "
                "(medians)\n",
                median(molv_rss), median(reference_rss));
    return true;
}

} // namespace bench
