// A real Prometheus server scrapes the real binary's /metrics with a token:
// a killed program shows as one restart through Prometheus' query API, and a
// named slot that never ran is down from the first scrape.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>
#include <regex>

using namespace testing_support;

namespace {

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

/// One HTTP/1.0 GET to 127.0.0.1:`port`; the whole answer, head and body, or
/// empty when nothing answers.
std::string get(int port, const std::string &target, const std::string &headers = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const std::string request =
            "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                answer.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    return answer;
}

/// The query's answers as Prometheus' HTTP API gives them: one number per
/// series of an instant vector, in its order.
std::vector<double> query(int port, const std::string &promql) {
    std::string encoded;
    for (const unsigned char c : promql) {
        if (std::isalnum(c) != 0 || c == '_' || c == '.' || c == '-') {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    const std::string answer = get(port, "/api/v1/query?query=" + encoded);
    static const std::regex value(R"re("value":\[[0-9.e+]+,"([^"]+)"\])re");
    std::vector<double> values;
    for (auto it = std::sregex_iterator(answer.begin(), answer.end(), value);
         it != std::sregex_iterator(); ++it) {
        values.push_back(std::stod((*it)[1].str()));
    }
    return values;
}

std::optional<double> single(int port, const std::string &promql) {
    const auto values = query(port, promql);
    if (values.size() != 1) {
        return std::nullopt;
    }
    return values[0];
}

class PrometheusScrape : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/prometheus")) {
            GTEST_SKIP() << "needs Debian's prometheus package (scripts/setup installs it)";
        }
        runtime_ = folder_ / "runtime";
        std::filesystem::create_directory(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
        binary_ = copyPerstando(folder_.path());
        runner_ = copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName("runner"));
        metricsPort_ = freePort();
        writeFile(folder_ / "settings.ini",
                  "[exe1]\nname=Runner\npath=" + runner_.string() +
                      "\ntimer=200\nimmediate=On\n"
                      "[exe2]\nname=Never\npath=/nonexistent/never\ntimer=600000\n"
                      "[metrics]\nlisten=127.0.0.1:" +
                      std::to_string(metricsPort_) + "\n");
        // Beside settings.ini, as where no keyring answers.
        writeFile(folder_ / "metrics-token", std::string(Token) + "\n");
        std::filesystem::permissions(folder_ / "metrics-token",
                                     std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write);
        writeFile(folder_ / "scraper-token", Token);
    }
    void TearDown() override { killAll(runner_); }

    Child startPerstando() {
        return Child({binary_.string()}, folder_.path(),
                     {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_.string(),
                      "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"});
    }
    Child startPrometheus(int port) {
        writeFile(folder_ / "prometheus.yml",
                  "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                  "scrape_configs:\n  - job_name: perstando\n"
                  "    authorization:\n      type: Bearer\n      credentials_file: " +
                      (folder_ / "scraper-token").string() +
                      "\n    static_configs:\n      - targets: ['127.0.0.1:" +
                      std::to_string(metricsPort_) + "']\n");
        return Child({"/usr/bin/prometheus",
                      "--config.file=" + (folder_ / "prometheus.yml").string(),
                      "--storage.tsdb.path=" + (folder_ / "tsdb").string(),
                      "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"},
                     folder_.path());
    }

    static constexpr const char *Token = "s3cret-scraper-token";
    TempDir folder_;
    std::filesystem::path runtime_, binary_, runner_;
    int metricsPort_ = 0;
};

TEST_F(PrometheusScrape, AKilledProgramIsOneRestartAndANeverStartedSlotIsDownFromTheStart) {
    Child perstando = startPerstando();
    ASSERT_TRUE(waitUntil([&] { return pidsOf(runner_).size() == 1; }, std::chrono::seconds(20)));
    const int port = freePort();
    Child prometheus = startPrometheus(port);
    // Scraped with the token a few times, the program still on its first run.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto scrapes = single(port, R"(count_over_time(up{job="perstando"}[5m]))");
            return scrapes && *scrapes >= 3;
        },
        std::chrono::seconds(60)))
        << "Prometheus never scraped Perstando";
    EXPECT_EQ(single(port, R"(min_over_time(up{job="perstando"}[5m]))"), 1.0)
        << "a scrape failed despite the token";

    const pid_t first = pidsOf(runner_).at(0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] {
        const auto pids = pidsOf(runner_);
        return pids.size() == 1 && pids[0] != first;
    }));
    const std::string restarts =
        R"(increase(perstando_slot_restarts_total{slot="1",name="Runner",reason="gone"}[1m]))";
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto increase = single(port, restarts);
            return increase && *increase >= 1.0;
        },
        std::chrono::seconds(30)))
        << "the restart never reached Prometheus";
    // Extrapolated over the window's end, the increase may pass 1 a little, never reach 2.
    const auto increase = single(port, restarts);
    ASSERT_TRUE(increase);
    EXPECT_EQ(std::lround(*increase), 1) << *increase;
    const auto all = single(port, R"(sum(increase(perstando_slot_restarts_total{slot="1"}[1m])))");
    ASSERT_TRUE(all);
    EXPECT_EQ(std::lround(*all), 1) << "a restart was counted under another reason";
    EXPECT_EQ(single(port, R"(perstando_slot_up{slot="1"})"), 1.0);

    // Slot 2 never ran: down in every scrape, present in every scrape.
    EXPECT_EQ(single(port, R"(max_over_time(perstando_slot_up{slot="2",name="Never"}[5m]))"), 0.0);
    EXPECT_EQ(single(port, R"(count_over_time(perstando_slot_up{slot="2"}[5m]))"),
              single(port, R"(count_over_time(up{job="perstando"}[5m]))"));
    EXPECT_EQ(single(port, R"(sum(perstando_slot_state{slot="2"}))"), 1.0)
        << "not exactly one state is the current one";
}

} // namespace
