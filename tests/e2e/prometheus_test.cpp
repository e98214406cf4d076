// The status file as the real readers see it on Linux: read in a loop
// while molv rewrites it hundreds of times, served by Debian's node
// exporter from a collector folder shared by two molvs, and the shipped
// alert rules evaluated on it by Debian's Prometheus.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <map>
#include <utility>
#include <vector>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "e2e_fixture.h"
#include "supervise/status.h"

namespace {

// The lines of a status file with the values of its series left out.
std::string without_values(const std::string& text)
{
    std::string shape;
    for (const std::string& line : text_lines(text, true)) {
        shape += (line[0] == '#' ? line : line.substr(0, line.rfind(' '))) + "\n";
    }
    return shape;
}

// A series of a scrape, labels in any order: the value of the series named
// `name` whose labels include every one of `labels`, or "" when none has.
std::string scraped_value(const std::string& scrape, const std::string& name,
                          const std::map<std::string, std::string>& labels)
{
    for (const std::string& line : text_lines(scrape)) {
        if (line.compare(0, name.size() + 1, name + "{") != 0 &&
            line.compare(0, name.size() + 1, name + " ") != 0) {
            continue;
        }
        bool all = true;
        for (const auto& label : labels) {
            all = all && line.find(label.first + "=\"" + label.second + "\"") != std::string::npos;
        }
        if (all) {
            return line.substr(line.rfind(' ') + 1);
        }
    }
    return "";
}

// A TCP port on 127.0.0.1 that no socket used a moment ago, or 0.
unsigned free_tcp_port()
{
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (probe >= 0) {
        close(probe);
    }
    return port;
}

// The body that GET `path` on 127.0.0.1:`port` answers, or "" when there
// is no whole answer.
std::string http_get(unsigned port, const std::string& path)
{
    const int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connection < 0) {
        return "";
    }
    const timeval patience = {10, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(connection, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char piece[4096];
        for (ssize_t got; (got = recv(connection, piece, sizeof piece, 0)) > 0;) {
            answer.append(piece, static_cast<std::size_t>(got));
        }
    }
    close(connection);
    const std::size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.0 200") != 0 && answer.compare(0, 12, "HTTP/1.1 200") != 0) {
        return "";
    }
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// Starts `arguments` (the program first) with its output into `log` and
// no input, ending with the test program whatever becomes of it; the
// process id, or -1.
pid_t start_reader_program(const std::vector<std::string>& arguments, const std::string& log)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int input = open("/dev/null", O_RDONLY);
        if (output < 0 || input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 ||
            dup2(output, 2) < 0) {
            _exit(126);
        }
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// Ends a program started by start_reader_program: SIGTERM, then SIGKILL.
void stop_reader_program(pid_t& child)
{
    if (child <= 0) {
        return;
    }
    kill(child, SIGTERM);
    if (!wait_until([&] { return waitpid(child, nullptr, WNOHANG) == child; }, deadline_seconds)) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    child = -1;
}

// The shipped rules with every window, offset and "for" 30 times shorter,
// so that minutes of alerting pass in seconds; "" when a duration is left
// that this does not know, so that a new one is not silently kept long.
std::string rules_thirty_times_faster(const std::string& rules)
{
    const std::pair<const char*, const char*> shorter[] = {
        {"[5m]", "[10s]"},          {"offset 15m", "offset 30s"}, {"offset 1h", "offset 120s"},
        {"for: 1m\n", "for: 2s\n"}, {"for: 5m\n", "for: 10s\n"}, {"for: 10m\n", "for: 20s\n"},
    };
    std::string text = rules;
    for (const auto& change : shorter) {
        for (std::size_t at; (at = text.find(change.first)) != std::string::npos;) {
            text.replace(at, std::strlen(change.first), change.second);
        }
    }
    // Any duration left in minutes or hours: digits, then m or h, after a
    // "[", an "offset " or a "for: ".
    for (const char* before : {"[", "offset ", "for: "}) {
        for (std::size_t at = 0; (at = text.find(before, at)) != std::string::npos; ++at) {
            std::size_t after = at + std::strlen(before);
            while (after < text.size() && text[after] >= '0' && text[after] <= '9') {
                ++after;
            }
            if (after > at + std::strlen(before) && after < text.size() &&
                (text[after] == 'm' || text[after] == 'h')) {
                return "";
            }
        }
    }
    return text;
}

// The alerts Prometheus has, as "name folder state" lines, from the JSON of
// /api/v1/alerts (labels and state as Prometheus writes them).
std::vector<std::string> alerts_in(const std::string& json)
{
    const auto value_of = [](const std::string& part, const std::string& key) {
        const std::string quoted = "\"" + key + "\":\"";
        const std::size_t at = part.find(quoted);
        if (at == std::string::npos) {
            return std::string();
        }
        const std::size_t start = at + quoted.size();
        return part.substr(start, part.find('"', start) - start);
    };
    std::vector<std::string> alerts;
    const std::string mark = "{\"labels\":";
    for (std::size_t at = json.find(mark); at != std::string::npos;) {
        const std::size_t next = json.find(mark, at + 1);
        const std::string part = json.substr(at, next == std::string::npos ? next : next - at);
        alerts.push_back(value_of(part, "alertname") + " " + value_of(part, "folder") + " " +
                         value_of(part, "state"));
        at = next;
    }
    return alerts;
}

class prometheus_reader : public molv_test {
protected:
    pid_t prometheus = -1;
    pid_t exporter = -1;
    unsigned exporter_port = 0;
    molv_process second;
    std::string second_folder;

    void TearDown() override
    {
        stop_reader_program(prometheus);
        stop_exporter();
        stop_molv(second);
        if (!second_folder.empty()) {
            write_file(second_folder + "/records/stop", "");
            for (const standin_record& record : read_records(second_folder + "/records")) {
                stop_server(record.number("pid"), second_folder);
            }
        }
        molv_test::TearDown();
    }

    // Starts the second molv in the folder `name` of its own, writing the
    // status file `status`, with the stand-in's `environment`.
    void start_second(const std::string& name, const std::string& status,
                      std::vector<std::string> environment)
    {
        second_folder = root + "/" + name;
        ASSERT_TRUE(make_directory(second_folder));
        ASSERT_TRUE(make_directory(second_folder + "/records"));
        ASSERT_TRUE(install_server(second_folder, "deusex.exe"));
        ASSERT_TRUE(
            write_file(second_folder + "/molv.ini", "[GENERAL]\nstatus_file=" + status + "\n"));
        molv_launch launch;
        launch.directory = second_folder;
        launch.output_path = second_folder + "/output.txt";
        launch.environment = std::move(environment);
        launch.environment.push_back("MOLV_STANDIN_RECORD=" + second_folder + "/records");
        ASSERT_TRUE(start_molv(launch, second));
    }

    // Starts the node exporter with its textfile collector alone, on a free
    // loopback port, and waits until it serves; false with the reason in
    // `failure` when it cannot.
    bool start_exporter(const std::string& directory, std::string& failure)
    {
        const char program[] = "/usr/bin/prometheus-node-exporter";
        if (access(program, X_OK) != 0) {
            failure = std::string(program) +
                      " not found: Debian's prometheus-node-exporter package brings it "
                      "(scripts/setup-debian.sh)";
            return false;
        }
        const std::string log = root + "/exporter.txt";
        // A port taken by someone else in the meantime makes it end: again
        // on another.
        for (int attempt = 0; attempt < 3; ++attempt) {
            exporter_port = free_tcp_port();
            const std::string arguments[] = {
                program,
                "--collector.disable-defaults",
                "--collector.textfile",
                "--collector.textfile.directory=" + directory,
                "--web.listen-address=127.0.0.1:" + std::to_string(exporter_port),
            };
            exporter = fork();
            if (exporter == 0) {
                // It ends with the test program, whatever becomes of it.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                const int input = open("/dev/null", O_RDONLY);
                if (output < 0 || input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 ||
                    dup2(output, 2) < 0) {
                    _exit(126);
                }
                close_range(3, ~0U, 0);
                char* argv[] = {const_cast<char*>(arguments[0].c_str()),
                                const_cast<char*>(arguments[1].c_str()),
                                const_cast<char*>(arguments[2].c_str()),
                                const_cast<char*>(arguments[3].c_str()),
                                const_cast<char*>(arguments[4].c_str()), nullptr};
                execv(program, argv);
                _exit(127);
            }
            if (exporter < 0) {
                failure = std::string("fork: ") + std::strerror(errno);
                return false;
            }
            bool ended = false;
            if (wait_until(
                    [&] {
                        ended = waitpid(exporter, nullptr, WNOHANG) == exporter;
                        return ended || !http_get(exporter_port, "/metrics").empty();
                    },
                    deadline_seconds) &&
                !ended) {
                return true;
            }
            if (ended) {
                exporter = -1;
            } else {
                stop_exporter();
            }
        }
        failure = "the node exporter did not serve: " + read_file(log);
        return false;
    }

    void stop_exporter()
    {
        if (exporter <= 0) {
            return;
        }
        kill(exporter, SIGTERM);
        if (!wait_until([&] { return waitpid(exporter, nullptr, WNOHANG) == exporter; },
                        deadline_seconds)) {
            kill(exporter, SIGKILL);
            waitpid(exporter, nullptr, 0);
        }
        exporter = -1;
    }
};

} // namespace

TEST_F(prometheus_reader, NoStatusFileIsEverSeenHalfWrittenIn200Restarts)
{
    write_immediate_settings("[GENERAL]\nstatus_file=molv.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=0", "MOLV_STANDIN_HOLD=201"});
    const std::string path = work + "/molv.prom";
    const std::string last_launch = "molv_server_launches_total{folder=\"" + work + "\"} 201\n";
    // Whole files have every line of the renderer's, and their last one ended.
    static char any_state[status_text_capacity];
    ASSERT_GT(render_status(molv_status{}, work.c_str(), "1.3.2", any_state, sizeof any_state), 0u);
    const std::string whole_shape = without_values(any_state);

    // Read as fast as a reader may, until the 201st launch is in the file.
    std::size_t reads = 0;
    std::size_t changes = 0;
    std::string before;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    for (;;) {
        const std::string text = read_file(path);
        ASSERT_TRUE((text.empty() && before.empty()) ||
                    (without_values(text) == whole_shape && text.back() == '\n'))
            << "read " << reads << ":\n" << text;
        changes += text != before ? 1 : 0;
        before = text;
        if (++reads % 64 == 0) {
            for (const std::string& name : file_names(work)) {
                const bool status_like = name.size() > 5 && name.rfind(".prom") == name.size() - 5;
                EXPECT_TRUE(!status_like || name == "molv.prom") << name;
            }
        }
        if (text.find(last_launch) != std::string::npos) {
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << text;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GT(changes, 20u) << "the reads missed the restarts";
    EXPECT_EQ(metrics_problems(path), "");
}

TEST_F(prometheus_reader, TheNodeExporterServesTwoMolvsFromOneCollectorFolder)
{
    const std::string collector = root + "/collector";
    ASSERT_TRUE(make_directory(collector));
    // The first molv's server crashes once.
    write_settings("[GENERAL]\nstatus_file=" + collector + "/molv-first.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_RUN_MS=300", "MOLV_STANDIN_HOLD=2"});

    ASSERT_NO_FATAL_FAILURE(
        start_second("second", collector + "/molv-second.prom", {"MOLV_STANDIN_HOLD=1"}));

    ASSERT_TRUE(wait_for_instance(2));
    ASSERT_TRUE(wait_until([&] { return read_records(second_folder + "/records").size() == 1; },
                           deadline_seconds));
    std::string failure;
    ASSERT_TRUE(start_exporter(collector, failure)) << failure;

    const std::map<std::string, std::string> first = {{"folder", work}};
    const std::map<std::string, std::string> other = {{"folder", second_folder}};
    std::string scrape;
    // Each molv has written its launch and its server's state.
    ASSERT_TRUE(wait_until(
        [&] {
            scrape = http_get(exporter_port, "/metrics");
            return scraped_value(scrape, "molv_server_launches_total", first) == "2" &&
                   scraped_value(scrape, "molv_server_up", first) == "1" &&
                   scraped_value(scrape, "molv_server_up", other) == "1";
        },
        deadline_seconds))
        << scrape;
    EXPECT_EQ(scraped_value(scrape, "node_textfile_scrape_error", {}), "0") << scrape;
    EXPECT_EQ(scraped_value(scrape, "molv_server_ends_total", {{"folder", work}, {"cause", "crashed"}}),
              "1");
    EXPECT_EQ(scraped_value(scrape, "molv_server_launches_total", other), "1");
    EXPECT_EQ(scraped_value(scrape, "molv_server_ends_total",
                            {{"folder", second_folder}, {"cause", "crashed"}}),
              "0");
    EXPECT_EQ(scraped_value(scrape, "molv_info", {{"folder", work}, {"version", "1.3.2"}}), "1");
    for (const char* name : {"molv-first.prom", "molv-second.prom"}) {
        EXPECT_EQ(metrics_problems(collector + "/" + name), "") << name;
    }
}

// The shipped rules in a real Prometheus, 30 times faster, over the node
// exporter serving two molvs: one whose server runs, one whose server ends
// at once and waits out ever longer retry pauses (2 to 16 s, a minute and
// more in the rules' own time). The crash loop is down and loops; the
// healthy one gets no alert, not even a pending one.
TEST_F(prometheus_reader, TheRulesFireForACrashLoopUnderLongPausesAndNotForAHealthyServer)
{
    const char program[] = "/usr/bin/prometheus";
    ASSERT_EQ(access(program, X_OK), 0)
        << program << " not found: Debian's prometheus package brings it (scripts/setup-debian.sh)";
    std::ifstream shipped(MOLV_E2E_SOURCE_DIR "/dist/molv-alerts.yml");
    std::stringstream rules;
    rules << shipped.rdbuf();
    const std::string fast_rules = rules_thirty_times_faster(rules.str());
    ASSERT_NE(fast_rules, "") << "a duration in the rules that this test does not shorten";
    ASSERT_TRUE(write_file(root + "/rules.yml", fast_rules));

    const std::string collector = root + "/collector";
    ASSERT_TRUE(make_directory(collector));
    write_settings("[GENERAL]\nstatus_file=" + collector + "/molv-healthy.prom\n");
    ASSERT_TRUE(install_server(work, "deusex.exe"));
    start({"MOLV_STANDIN_HOLD=1"});

    ASSERT_NO_FATAL_FAILURE(
        start_second("loop", collector + "/molv-loop.prom", {"MOLV_STANDIN_RUN_MS=0"}));
    ASSERT_TRUE(wait_for_instance(1));

    std::string failure;
    ASSERT_TRUE(start_exporter(collector, failure)) << failure;
    const unsigned port = free_tcp_port();
    ASSERT_NE(port, 0u);
    ASSERT_TRUE(write_file(root + "/prometheus.yml",
                           "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                           "rule_files:\n  - " + root + "/rules.yml\n"
                           "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                           "      - targets: ['127.0.0.1:" + std::to_string(exporter_port) +
                               "']\n"));
    prometheus = start_reader_program(
        {program, "--config.file=" + root + "/prometheus.yml",
         "--storage.tsdb.path=" + root + "/prometheus-data",
         "--web.listen-address=127.0.0.1:" + std::to_string(port)},
        root + "/prometheus.txt");
    ASSERT_GT(prometheus, 0);

    const std::string loop = second_folder;
    const std::string healthy = work;
    std::vector<std::string> alerts;
    std::vector<std::string> healthy_alerts;
    const auto look = [&] {
        alerts = alerts_in(http_get(port, "/api/v1/alerts"));
        for (const std::string& alert : alerts) {
            if (alert.find(" " + healthy + " ") != std::string::npos) {
                healthy_alerts.push_back(alert);
            }
        }
        const auto has = [&](const std::string& alert) {
            return std::find(alerts.begin(), alerts.end(), alert) != alerts.end();
        };
        return has("MolvServerDown " + loop + " firing") &&
               has("MolvCrashLoop " + loop + " firing");
    };
    // On a loaded machine the pauses, the scrapes and the evaluations all
    // come late; 16 s of pauses and 10 s of window are well inside this.
    EXPECT_TRUE(wait_until(look, 150)) << testing::PrintToString(alerts) << "\n"
                                       << read_file(root + "/prometheus.txt");
    // A few more evaluations, for anything the healthy one might still get.
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    wait_until([&] { look(); return std::chrono::steady_clock::now() > settle; }, 10);
    EXPECT_EQ(healthy_alerts, std::vector<std::string>());
    EXPECT_EQ(scraped_value(http_get(exporter_port, "/metrics"), "node_textfile_scrape_error", {}),
              "0");
}
