// --group inside a network namespace of the test's own (only loopback), so that nothing
// leaves the machine; skipped where the namespace cannot be made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

TEST(BusDumpMulticast, JoinsTheGroupAndReceives) {
    if (std::system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot make a network namespace here (unshare -n refused)";
    if (std::system("python3 -c 'import socket' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    const std::string out = testing::TempDir() + "busdump_multicast_" + std::to_string(getpid()) + ".txt";
    // A header-only datagram with sequence 7, sent to the group a few times until busdump has it.
    const std::string script =
        "ip link set lo up && ip route add 239.0.0.0/8 dev lo || exit 3\n"
        "\"" BUSDUMP_PATH "\" --group 239.1.2.3 --bind 127.0.0.1 -p 57200 --json -c 1 -t 30 > " + out + " 2>&1 &\n"
        "python3 -c '\n"
        "import socket, time\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(\"127.0.0.1\"))\n"
        "d = b\"LS\\x01\\x00\" + (7).to_bytes(8, \"big\") + (0).to_bytes(4, \"big\")\n"
        "for i in range(100):\n"
        "    s.sendto(d, (\"239.1.2.3\", 57200))\n"
        "    time.sleep(0.2)\n"
        "' &\n"
        "sender=$!\n"
        "wait %1\n"
        "kill $sender 2>/dev/null\n";
    const std::string script_path = out + ".sh";
    std::ofstream(script_path) << script;
    const int status = std::system(("unshare -n sh " + script_path).c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "loopback multicast route refused";
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\"type\":\"totals\""), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("\"datagrams\":1,"), std::string::npos) << text.str();
    std::remove(out.c_str());
    std::remove(script_path.c_str());
}
