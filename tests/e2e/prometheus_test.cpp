// The status file as the real readers see it on Linux: read in a loop
// while molv rewrites it hundreds of times, and served by Debian's node
// exporter from a collector folder shared by two molvs.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
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

class prometheus_reader : public molv_test {
protected:
    pid_t exporter = -1;
    unsigned exporter_port = 0;
    molv_process second;
    std::string second_folder;

    void TearDown() override
    {
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

    second_folder = root + "/second";
    ASSERT_TRUE(make_directory(second_folder));
    ASSERT_TRUE(make_directory(second_folder + "/records"));
    ASSERT_TRUE(install_server(second_folder, "deusex.exe"));
    ASSERT_TRUE(write_file(second_folder + "/molv.ini",
                           "[GENERAL]\nstatus_file=" + collector + "/molv-second.prom\n"));
    molv_launch launch;
    launch.directory = second_folder;
    launch.output_path = second_folder + "/output.txt";
    launch.environment = {"MOLV_STANDIN_RECORD=" + second_folder + "/records",
                          "MOLV_STANDIN_HOLD=1"};
    ASSERT_TRUE(start_molv(launch, second));

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
