// The report endpoint against clients that are not Kannel: oversized, slow,
// silent and chunked requests are answered and closed without being read on,
// and a flood of connections never keeps a genuine report out.

#include "smsd/Daemon.h"
#include "tests/smsd/SmsdTestSupport.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fstream>
#include <future>
#include <iostream>
#include <poll.h>
#include <sys/resource.h>

using namespace telvoro;
using namespace telvoro::smsd::testing;
using namespace std::chrono_literals;

namespace {

int Dial(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Sends `request` and then `more` bytes of filler as long as the endpoint
// takes them; gives the answer's status line ("" when the connection closed
// without one) and how many bytes went out.
struct Answer {
    std::string status;
    std::size_t sent = 0;
};
Answer Knock(int port, const std::string& request, std::size_t more) {
    Answer a;
    const int fd = Dial(port);
    if (fd < 0) return a;
    // The filler is sent from one buffer: the test's own memory stays flat,
    // so the endpoint's can be read off it.
    static const std::string filler(65536, 'a');
    const std::size_t total = request.size() + more;
    const auto until = std::chrono::steady_clock::now() + 20s;
    std::string got;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, short(POLLIN | (a.sent < total ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
            if (got.find("\r\n") != std::string::npos) break;
        } else if (p.revents & POLLOUT) {
            const bool head = a.sent < request.size();
            const char* from = head ? request.data() + a.sent : filler.data();
            const std::size_t left = head ? request.size() - a.sent : total - a.sent;
            const ssize_t n =
                ::send(fd, from, std::min<std::size_t>(left, filler.size()), MSG_NOSIGNAL);
            if (n <= 0) break;
            a.sent += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    a.status = got.substr(0, got.find("\r\n"));
    return a;
}

// A line of /proc/self/status in MB ("VmRSS" now, "VmHWM" the peak).
double MemoryMb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024;
    return 0;
}

} // namespace

TEST(SmsdEndpoint, RefusesWhatIsNotAReportAndLetsReportsThroughAFlood) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &files);

    TestDatabase db = MakeDatabase("sqlite");
    const qint64 id =
        QueueRow(db.text, kAccount, QStringLiteral("hi"), QStringLiteral("13900000001"));
    smsd::Daemon daemon(EndpointSettings(db.text));
    daemon.Start();
    const int port = daemon.listenPort();

    struct Case {
        const char* name;
        std::string request;
        std::size_t more;
        const char* status;
    };
    const std::string mib(1 << 20, 'x');
    const Case cases[] = {
        {"long request line", "GET /dlr?r=" + std::string(100000, '1') + " HTTP/1.1\r\n", 0,
         "HTTP/1.1 414 URI Too Long"},
        {"endless header", "GET /dlr HTTP/1.1\r\nX-Pad: ", 200u << 20,
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"huge body", "POST /dlr HTTP/1.1\r\nContent-Length: 314572800\r\n\r\n", 300u << 20,
         "HTTP/1.1 413 Content Too Large"},
        {"chunked",
         "POST /dlr HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0,
         "HTTP/1.1 411 Length Required"},
        {"half a header, then silence", "GET /dlr?r=1 HTTP/1.1\r\nHost: x\r\n", 0,
         "HTTP/1.1 408 Request Timeout"},
        {"nothing at all", "", 0, ""},
    };
    // The peak from here on: the endpoint's, the test's own being flat.
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = MemoryMb("VmRSS");
    std::vector<std::future<Answer>> answers;
    for (const Case& c : cases)
        answers.push_back(std::async(std::launch::async, Knock, port, c.request, c.more));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const Answer a = Pump([&] { return answers[i].get(); });
        EXPECT_EQ(a.status, cases[i].status) << cases[i].name;
        // Refused at the limit, not after the whole of it was read.
        EXPECT_LT(a.sent, cases[i].request.size() + (8u << 20)) << cases[i].name;
    }

    // 2,000 connections that say nothing, more than the endpoint keeps open:
    // the oldest make room, and a signed report is stored and answered at once.
    const QString secret = ClaimedSecret(db.text);
    ASSERT_FALSE(secret.isEmpty());
    std::vector<int> silent = Pump([&] {
        std::vector<int> fds;
        for (int i = 0; i < 2000; ++i)
            if (const int fd = Dial(port); fd >= 0) fds.push_back(fd);
        return fds;
    });
    EXPECT_EQ(silent.size(), 2000u);
    const auto started = std::chrono::steady_clock::now();
    const Answer a = Pump([&] {
        return Knock(port,
                     "GET /dlr?r=" + std::to_string(id) + "&g=0&p=13900000001&t=1&k=" +
                         secret.toStdString() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                     0);
    });
    EXPECT_EQ(a.status, "HTTP/1.1 200 OK");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    const double peak = MemoryMb("VmHWM");
    std::cout << "[ figures  ] memory under the abusive clients and 2,000 silent ones: " << before
              << " MB before, " << peak << " MB at the peak\n";
    EXPECT_LT(peak - before, 64);
    for (int fd : silent)
        ::close(fd);
    daemon.RequestStop();
    daemon.Finish();
}
