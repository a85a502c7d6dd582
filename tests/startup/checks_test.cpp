// The checks made before serving, seen through "tindrel -t": warnings and
// refusals on standard error, one summary line on standard output, status 0 or 1.
#include "support/support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {
namespace {

struct CheckCase {
    const char* what;
    std::vector<std::string> lines; // each replaces the good line with its "key =", or is added
    int status;
    std::vector<std::string> err; // each is found, each line of stderr starts with one
    bool bare = false;            // only the good file's user and working-dir lines
};

class ConfigurationCheck : public ::testing::Test {
protected:
    std::string writeConfig(const std::vector<std::string>& changes, bool bare = false) {
        dir.write("face.ps", kTinyTemplate);
        dir.write("tindrel.ps", kTinyTemplate); // the built-in template name
        dir.write("tindrel.db", "127.0.0.1 A12 5550\n");
        auto lines = splitLines("user = nobody\nworking-dir = " + dir.path() +
                                "\ntemplate-name = " + dir.file("face.ps") +
                                "\nlogfile = " + dir.file("tindrel.log") +
                                "\nproxy-ip = 127.0.0.1\nproxy-port = " + proxy_port +
                                "\nprinter-ip = "
                                "127.0.0.1\nprinter-port = 9101");
        lines.resize(bare ? 2 : lines.size());
        for (const std::string& line : changes) {
            const std::string key = line.substr(0, line.find(" =")) + " =";
            auto same = std::find_if(lines.begin(), lines.end(),
                                     [&](const std::string& l) { return l.starts_with(key); });
            same != lines.end() ? void(*same = line) : lines.push_back(line);
        }
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return dir.write("tindrel.conf", text);
    }

    TempDir dir;
    std::string proxy_port = std::to_string(freePort());
};

TEST_F(ConfigurationCheck, RefusalsAndWarningsThenOneSummaryLine) {
    auto self = [](const std::string& printer, const std::string& listens) {
        return "tindrel: printer-ip " + printer +
               " and printer-port 9100 name this proxy itself (it listens on " + listens +
               " port 9100), so every job would loop back to it; set printer-ip and printer-port "
               "to the printer";
    };
    const std::string absent = dir.file("absent.ps");
    const std::string long_path = dir.path() + "/" + std::string(70 - dir.path().size(), 'x');
    const std::string fifo = dir.file("acct.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const passwd* pw = getpwuid(geteuid()); // as root the configuration switches to nobody
    const std::string run_user = runningAsRoot() ? "nobody" : pw ? pw->pw_name : "";
    std::vector<CheckCase> cases = {
        {"good file", {}, 0, {}},
        {"built-in defaults", {}, 1, {self("127.0.0.1", "0.0.0.0")}, true},
        {"same address and port",
         {"printer-port = 9100", "proxy-port = 9100"},
         1,
         {self("127.0.0.1", "127.0.0.1")}},
        {"any address and a loopback printer",
         {"proxy-ip = 0.0.0.0", "printer-ip = 127.0.0.2", "printer-port = 9100",
          "proxy-port = 9100"},
         1,
         {self("127.0.0.2", "0.0.0.0")}},
        {"another loopback address", {"printer-ip = 127.0.0.2", "printer-port = 9100"}, 0, {}},
        {"proxy-port abc",
         {"proxy-port = abc"},
         1,
         {"line 6: proxy-port \"abc\" is not a plain number; read as 0",
          "tindrel: proxy-port \"abc\" is not a port from 1 to 65535"}},
        {"proxy-port 91000",
         {"proxy-port = 91000"},
         1,
         {"line 6: proxy-port \"91000\" is out of range; read as 25464",
          "tindrel: proxy-port \"91000\" is not a port from 1 to 65535"}},
        {"bind refused",
         {"proxy-ip = 192.0.2.1"},
         1,
         {"tindrel: proxy-ip 192.0.2.1 port " + proxy_port + " cannot be bound by the run user " +
          run_user + ": Cannot assign requested address"}},
        {"template directory",
         {"template-name = " + dir.path()},
         1,
         {"tindrel: face-page template " + dir.path() + " is not a regular file"}},
        {"unwritable log",
         {"logfile = " + dir.file("absent/tindrel.log")},
         1,
         {"tindrel: job log " + dir.file("absent/tindrel.log") +
          " cannot be opened for appending by the run user " + run_user}},
        {"cut path",
         {"template-name = " + long_path},
         1,
         {"line 3: the value of template-name is longer than 60 characters and is cut to",
          "tindrel: template-name is longer than 60 characters and was cut to",
          "tindrel: face-page template " + long_path.substr(0, 60)}},
        {"key without =, idletime 0",
         {"printer-dev " + dir.file("lp0"), "idletime = 0"},
         0,
         {"line 9: key printer-dev has no \"=\" and sets no value",
          "tindrel: warning: idletime 0 ends a job"}},
        {"proxy-port 0", {"proxy-port = 0"}, 1, {"is not a port from 1 to 65535"}},
        // The metrics file only warns; relative to the working directory.
        {"metrics folder missing",
         {"metrics = absent/t.prom"},
         0,
         {"tindrel: warning: metrics folder " + dir.file("absent/") +
          " cannot be written by the run user " + run_user + " (No such file or directory)"}},
        {"metrics folder writable", {"metrics = t.prom"}, 0, {}},
        {"proxy-ip localhost",
         {"proxy-ip = localhost"},
         1,
         {"tindrel: proxy-ip \"localhost\" is not an IPv4 or IPv6 address; write it as numbers"}},
        // The printer by IPv6 address or by name; the proxy on :: or an IPv6 address.
        {"printer-ip by name", {"printer-ip = localhost"}, 0, {}},
        {"printer-ip name on the proxy's port",
         {"printer-ip = localhost", "printer-port = 9100", "proxy-port = 9100"},
         1,
         {self("localhost (127.0.0.1)", "127.0.0.1")}},
        {"printer-ip name that does not resolve",
         {"printer-ip = nowhere.invalid"},
         0,
         {"tindrel: warning: printer-ip \"nowhere.invalid\" does not resolve now ("}},
        {"printer-ip short dotted quad",
         {"printer-ip = 192.168.10"},
         1,
         {"tindrel: printer-ip \"192.168.10\" is not a full IPv4 address; "}},
        {"printer-ip hexadecimal shorthand",
         {"printer-ip = 0x7f.1"},
         1,
         {"tindrel: printer-ip \"0x7f.1\" is neither an IPv4 or IPv6 address nor a host name; "}},
        {"printer-ip not a name",
         {"printer-ip = print_er"},
         1,
         {"tindrel: printer-ip \"print_er\" is neither"}},
        {":: and the IPv6 loopback",
         {"proxy-ip = ::", "printer-ip = ::1", "printer-port = 9100", "proxy-port = 9100"},
         1,
         {self("::1", "::")}},
        {":: and an IPv4 loopback printer",
         {"proxy-ip = ::", "printer-ip = 127.0.0.2", "printer-port = 9100", "proxy-port = 9100"},
         1,
         {self("127.0.0.2", "::")}},
        {"same IPv6 address in another form",
         {"proxy-ip = ::1", "printer-ip = 0:0::1", "printer-port = 9100", "proxy-port = 9100"},
         1,
         {self("::1", "::1")}},
        {"0.0.0.0 and an IPv6 printer",
         {"proxy-ip = 0.0.0.0", "printer-ip = ::1", "printer-port = 9100", "proxy-port = 9100"},
         0,
         {}},
        {"printer-ip localhost while spooling",
         {"printer-ip = localhost", "printer-port = jetdirect", "printer-dev = " + dir.file("lp0")},
         0,
         {"line 8: printer-port \"jetdirect\" is not a plain number; read as 0, which selects the "
          "device printer-dev"}},
        {"template missing",
         {"template-name = " + absent},
         1,
         {"tindrel: face-page template " + absent +
          " cannot be opened for reading by the run user " + run_user +
          ": No such file or directory; set template-name (and working-dir) to a "
          "readable file"}},
        {"accounting in a missing folder",
         {"accounting = " + dir.file("absent/acct.jsonl")},
         1,
         {"tindrel: accounting file " + dir.file("absent/acct.jsonl") +
          " cannot be opened for appending by the run user " + run_user}},
        {"accounting into a FIFO",
         {"accounting = " + fifo},
         1,
         {"tindrel: accounting file " + fifo + " is not a regular file"}},
        {"negative idletime",
         {"idletime = -1"},
         0,
         {"tindrel: warning: idletime -1 is taken as 0, which ends a job at the first moment"}},
        {"link-local printer without its interface",
         {"printer-ip = fe80::7"},
         1,
         {"tindrel: printer-ip fe80::7 is link-local and names no interface"}},
        {"link-local printer on an interface", {"printer-ip = fe80::7%lo"}, 0, {}},
        {"interface this host does not have",
         {"printer-ip = fe80::7%nosuch9"},
         1,
         {"tindrel: printer-ip \"fe80::7%nosuch9\" names the interface \"nosuch9\", which this "
          "host does not have"}},
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
    // This host's first IPv4 address outside 127.0.0.0/8, if it has one.
    std::istringstream addresses(run({"hostname", "-I"}).out);
    std::string host;
    while (addresses >> host && host.find(':') != std::string::npos)
        host.clear();
    if (!host.empty())
        cases.push_back({"any address and this host's address",
                         {"proxy-ip = 0.0.0.0", "printer-ip = " + host, "printer-port = 9100",
                          "proxy-port = 9100"},
                         1,
                         {self(host, "0.0.0.0")}});
    const std::string summary[] = {": the configuration is usable; tindrel -d would serve\n",
                                   ": the configuration is refused; tindrel -d would not start\n"};
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string conf = writeConfig(c.lines, c.bare);
        // -t acts on the configuration that -C names after it.
        auto r = run({TINDREL_BINARY, "-t", "-C", conf});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (std::string fragment : c.err) {
            if (fragment.starts_with("is not")) // the port refusal
                fragment = "tindrel: proxy-port \"0\" " + fragment;
            if (fragment.starts_with("line ")) // a warning about the file
                fragment = "readConf: " + conf + " " + fragment;
            EXPECT_NE(("\n" + r.err).find("\n" + fragment), std::string::npos)
                << fragment << "\nin:\n"
                << r.err;
        }
        EXPECT_EQ(splitLines(r.err).size(), c.err.size()) << r.err;
        EXPECT_TRUE(r.out.ends_with(conf + summary[c.status])) << r.out;
        EXPECT_EQ(r.out.find("readConf: "), std::string::npos) << r.out;
    }
}

TEST_F(ConfigurationCheck, DumpCarriesNoWarnings) {
    const std::string conf =
        writeConfig({"printer_ip = 127.0.0.1", "idletime = 5x", "proxy-port = abc"});
    auto r = run({TINDREL_BINARY, "-C", conf, "-c"});
    EXPECT_NE(r.out.find("\nidletime = 5x\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("readConf: "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

// A refused configuration ends -d before it listens, whatever it would loop to.
TEST_F(ConfigurationCheck, RefusedConfigurationNeverServes) {
    const uint16_t number = freePort();
    const std::string port = std::to_string(number);
    Daemon daemon({"-C", writeConfig({"proxy-port = " + port, "printer-port = " + port}), "-d"});
    EXPECT_FALSE(daemon.waitListening(number));
    EXPECT_EQ(daemon.waitExit(), 1);
    EXPECT_NE(daemon.err().find("tindrel: printer-ip 127.0.0.1 and printer-port " + port +
                                " name this proxy itself (it listens on 127.0.0.1 port " + port),
              std::string::npos)
        << daemon.err();
}

} // namespace
} // namespace testsupport
