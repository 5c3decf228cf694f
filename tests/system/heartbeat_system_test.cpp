// The running binary's heartbeat after it was stopped longer than its
// interval: the ping that fell due meanwhile goes at once on continuing, even
// with one from before the stop still unanswered, one only, and the interval
// resumes from it.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

/// The request lines a receiver wrote, one a line.
std::vector<std::string> linesOf(const std::filesystem::path &record) {
    std::istringstream in(readFile(record));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(HeartbeatSystem, AfterAStopLongerThanTheIntervalThePingGoesAtOnce) {
    TempDir folder;
    const auto record = folder.path() / "pings";
    // Writes down each request line and answers it, all but the third, which
    // it holds unanswered: the ping in flight when Perstando is stopped.
    Child receiver(
        {"/usr/bin/python3", "-c",
         "import socket,sys\ns=socket.create_server(('127.0.0.1',0))\n"
         "open(sys.argv[1]+'.port','w').write(str(s.getsockname()[1])+'\\n')\n"
         "held=[]\n"
         "while True:\n"
         "  c,_=s.accept(); d=b''\n"
         "  while b'\\r\\n\\r\\n' not in d:\n"
         "    b=c.recv(4096)\n"
         "    if not b: break\n"
         "    d+=b\n"
         "  f=open(sys.argv[1],'ab'); f.write(d.split(b'\\r\\n')[0]+b'\\n'); f.close()\n"
         "  held.append(c)\n"
         "  if len(held)==3: continue\n"
         "  c.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n'); c.close()\n",
         record.string()});
    const auto port = record.string() + ".port";
    ASSERT_TRUE(waitUntil([&] { return readFile(port).find('\n') != std::string::npos; }));
    const auto runtime = folder.path() / "runtime";
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const auto binary = copyPerstando(folder.path());
    writeFile(folder.path() / "settings.ini",
              "[heartbeat]\nseconds=2\nurl=http://127.0.0.1:" +
                  readFile(port).substr(0, readFile(port).find('\n')) +
                  "/beat/s3cret\n[log]\npath=" + (folder.path() / "watch.log").string() + "\n");
    Child perstando({binary.string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.string(),
                     "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder.path() / "no-bus").string()});
    ASSERT_TRUE(waitUntil([&] { return linesOf(record).size() >= 3; }, 20s));
    EXPECT_NE(linesOf(record).front().find("GET /beat/s3cret?status=up&msg="), std::string::npos)
        << linesOf(record).front();

    ASSERT_EQ(::kill(perstando.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(5s);
    const std::size_t before = linesOf(record).size();
    ASSERT_EQ(::kill(perstando.pid(), SIGCONT), 0);
    const auto continued = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return linesOf(record).size() > before; }, 10s));
    const auto caughtUp = Clock::now();
    EXPECT_LT(caughtUp - continued, 1500ms) << "not before the next interval would have been due";

    // One ping for the whole stop, then the interval counted from it.
    ASSERT_TRUE(waitUntil([&] { return linesOf(record).size() > before + 1; }, 10s));
    EXPECT_GE(Clock::now() - caughtUp, 1s);
    perstando.stop(SIGTERM);
}

} // namespace
