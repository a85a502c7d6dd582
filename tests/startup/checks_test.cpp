// The checks made before serving, seen through "tindrel -t": the
// configuration is applied as -d applies it, warnings and refusals go to
// standard error, one summary line to standard output, status 0 or 1.
#include "support/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

using testsupport::Daemon;
using testsupport::run;
using testsupport::splitLines;
using testsupport::TempDir;

namespace {

struct CheckCase {
    const char* what;
    // Lines of the file: one whose "key =" begins a line of the good file
    // replaces that line, any other ("key=value" too) is added after line 8.
    std::vector<std::string> lines;
    int status;
    // Every line of standard error holds one of these, and each is found;
    // one starting with "line " is a warning about the file.
    std::vector<std::string> err;
    bool bare = false; // only the user and working-dir lines of the good file
};

// An IPv4 address of this host outside 127.0.0.0/8, if it has one.
std::string hostAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string found;
    for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        char text[INET_ADDRSTRLEN] = {};
        if ((ntohl(a.s_addr) >> 24) != 127 && inet_ntop(AF_INET, &a, text, sizeof text))
            found = text;
    }
    freeifaddrs(list);
    return found;
}

class ConfigurationCheck : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("face.ps", testsupport::kTinyTemplate);
        dir.write("tindrel.ps", testsupport::kTinyTemplate);
    }

    // As root the configuration switches to nobody; another user stays itself.
    static std::string runUser() {
        if (testsupport::runningAsRoot())
            return "nobody";
        const passwd* pw = getpwuid(geteuid());
        return pw ? pw->pw_name : "";
    }

    std::string writeConfig(const CheckCase& c) {
        std::vector<std::string> lines = {"user = nobody",
                                          "working-dir = " + dir.path(),
                                          "template-name = " + dir.file("face.ps"),
                                          "logfile = " + dir.file("tindrel.log"),
                                          "proxy-ip = 127.0.0.1",
                                          "proxy-port = 9100",
                                          "printer-ip = 127.0.0.1",
                                          "printer-port = 9101"};
        if (c.bare)
            lines.resize(2);
        for (const std::string& line : c.lines) {
            const std::string key = line.substr(0, line.find(" ="));
            auto same = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.starts_with(key + " =");
            });
            if (same != lines.end())
                *same = line;
            else
                lines.push_back(line);
        }
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return dir.write("tindrel.conf", text);
    }

    TempDir dir;
};

TEST_F(ConfigurationCheck, RefusalsAndWarningsThenOneSummaryLine) {
    const std::string self = "tindrel: printer-ip 127.0.0.1 and printer-port 9100 name this proxy "
                             "itself (it listens on ";
    const std::string loop = " port 9100), so every job would loop back to it; set printer-ip "
                             "and printer-port to the printer";
    const std::string port0 = "\" reads as port 0, on which nobody could find the service; set a "
                              "port from 1 to 65535";
    const std::string absent = dir.file("absent.ps");
    std::vector<CheckCase> cases = {
        {"good file", {}, 0, {}},
        {"built-in defaults", {}, 1, {self + "0.0.0.0" + loop}, true},
        {"same address and port", {"printer-port = 9100"}, 1, {self + "127.0.0.1" + loop}},
        {"any address and a loopback printer",
         {"proxy-ip = 0.0.0.0", "printer-ip = 127.0.0.2", "printer-port = 9100"},
         1,
         {"tindrel: printer-ip 127.0.0.2 and printer-port 9100 name this proxy itself (it listens "
          "on 0.0.0.0" +
          loop}},
        {"another loopback address is another host",
         {"printer-ip = 127.0.0.2", "printer-port = 9100"},
         0,
         {}},
        {"proxy-port abc",
         {"proxy-port = abc"},
         1,
         {"line 6: proxy-port \"abc\" is not a plain number; read as 0",
          "tindrel: proxy-port \"abc" + port0}},
        {"proxy-port 65536",
         {"proxy-port = 65536"},
         1,
         {"line 6: proxy-port \"65536\" is out of range; read as 0",
          "tindrel: proxy-port \"65536" + port0}},
        {"proxy-port 0", {"proxy-port = 0"}, 1, {"tindrel: proxy-port \"0" + port0}},
        {"proxy-ip localhost",
         {"proxy-ip = localhost"},
         1,
         {"tindrel: proxy-ip \"localhost\" is not an IPv4 address; write it as four numbers"}},
        {"printer-ip localhost",
         {"printer-ip = localhost"},
         1,
         {"tindrel: printer-ip \"localhost\" is not an IPv4 address; "}},
        {"printer-ip localhost while spooling",
         {"printer-ip = localhost", "printer-port = jetdirect", "printer-dev = " + dir.file("lp0")},
         0,
         {"line 8: printer-port \"jetdirect\" is not a plain number; read as 0, which selects the "
          "device printer-dev"}},
        {"template missing",
         {"template-name = " + absent},
         1,
         {"tindrel: face-page template " + absent +
          " cannot be opened for reading by the run user " + runUser() +
          ": No such file or directory; set template-name (and working-dir) to a "
          "readable file"}},
        {"key warnings",
         {"printer_ip = 127.0.0.1", "username = nobody", "proxy-port=9100"},
         0,
         {"line 9: unknown key \"printer_ip\" is ignored",
          "line 10: key \"username\" is read as user",
          "line 10: key user is given again (first on line 1); this line wins",
          "line 11: key proxy-port is given again (first on line 6); this line wins"}},
        {"number warnings",
         {"idletime = 5x", "retry-printer = 2 tries"},
         0,
         {"line 9: idletime \"5x\" is not a plain number; read as 5",
          "line 10: retry-printer \"2 tries\" is not a plain number; read as 2"}},
        {"value warnings",
         {"logfile = " + dir.file("tindrel.log") + " # the log", "template-type = ps\r",
          "printer-dev = " + dir.file("lp0") + " "},
         0,
         {"line 4: the value of logfile contains \"#\" and keeps it: ",
          "line 9: the value of template-type ends in a carriage return (CR LF line ends?) and "
          "keeps it",
          "line 10: the value of printer-dev ends in white space and keeps it"}},
    };
    if (const std::string host = hostAddress(); !host.empty())
        cases.push_back({"any address and this host's address",
                         {"proxy-ip = 0.0.0.0", "printer-ip = " + host, "printer-port = 9100"},
                         1,
                         {"tindrel: printer-ip " + host +
                          " and printer-port 9100 name this proxy "
                          "itself (it listens on 0.0.0.0" +
                          loop}});
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string conf = writeConfig(c);
        auto r = run({TINDREL_BINARY, "-C", conf, "-t"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        std::vector<std::string> expected;
        for (const std::string& fragment : c.err)
            expected.push_back(fragment.starts_with("line ") ? "readConf: " + conf + " " + fragment
                                                             : fragment);
        for (const std::string& fragment : expected)
            EXPECT_NE(r.err.find(fragment), std::string::npos) << fragment << "\nin:\n" << r.err;
        for (const std::string& line : splitLines(r.err))
            EXPECT_TRUE(std::any_of(expected.begin(), expected.end(),
                                    [&](const std::string& f) { return line.find(f) == 0; }))
                << "unexpected: " << line;
        auto out = splitLines(r.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(),
                  conf + (c.status == 0 ? ": the configuration is usable; tindrel -d would serve"
                                        : ": the configuration is refused; tindrel -d would not "
                                          "start"));
        EXPECT_EQ(r.out.find("readConf: "), std::string::npos) << r.out;
    }
}

TEST_F(ConfigurationCheck, DumpCarriesNoWarnings) {
    const std::string conf =
        writeConfig({"", {"printer_ip = 127.0.0.1", "idletime = 5x", "proxy-port = abc"}, 0, {}});
    auto r = run({TINDREL_BINARY, "-C", conf, "-c"});
    EXPECT_NE(r.out.find("\nidletime = 5x\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("readConf: "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

// A refused configuration ends -d before it listens, whatever it would loop to.
TEST_F(ConfigurationCheck, RefusedConfigurationNeverServes) {
    const std::string port = std::to_string(testsupport::freePort());
    const std::string conf =
        writeConfig({"", {"proxy-port = " + port, "printer-port = " + port}, 1, {}});
    Daemon daemon({"-C", conf, "-d"});
    EXPECT_FALSE(daemon.waitListening(static_cast<uint16_t>(std::stoi(port))));
    EXPECT_EQ(daemon.waitExit(), 1);
    EXPECT_NE(daemon.err().find("tindrel: printer-ip 127.0.0.1 and printer-port " + port +
                                " name this proxy itself (it listens on 127.0.0.1 port " + port),
              std::string::npos)
        << daemon.err();
}

} // namespace
