// Fixture for starting the built daemon on hostile input: the device spool
// service writing into a file of the test directory, started from a
// configuration that may carry arbitrary bytes before the real settings.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <sys/wait.h>

#include "e2e/fixture.h"

namespace hostile {

using e2e::secondsFromNow;

// What a daemon that dies by a sanitizer or a signal leaves on standard error.
inline bool crashed(std::string_view err) {
    return err.find("AddressSanitizer") != std::string_view::npos ||
           err.find("runtime error:") != std::string_view::npos ||
           err.find("Assertion") != std::string_view::npos;
}

class SpoolStart : public e2e::ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        e2e::setKey(settings, "printer-ip", "0.0.0.0");
        e2e::setKey(settings, "printer-dev", dir.file("printer.out"));
    }

    std::string device() { return e2e::readFile(dir.file("printer.out")); }

    // Waits for the daemon's end and returns its exit status, -1 when it
    // did not end in time or ended by a signal.
    int exitStatus() {
        auto status = daemon->waitExit(secondsFromNow(15));
        if (!status || !WIFEXITED(*status))
            return -1;
        return WEXITSTATUS(*status);
    }
};

} // namespace hostile
