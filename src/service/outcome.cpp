// How a job ends: its outcome's name and log line, how its client's
// connection is ended, and the lines a job prints.
#include "service/service.h"

#include <cstdio>

#include "settings/settings.h"

namespace {

struct EndRow {
    JobEnd end;
    const char* name; // in the job's record
    const char* text; // the job-log line; none for a delivery
};
// clang-format off
constexpr EndRow kEnds[] = {
    {JobEnd::Delivered, "delivered", nullptr},
    {JobEnd::PrinterUnreachable, "printer-unreachable", "Unable to connect printer"},
    {JobEnd::NoPrinterSocket, "no-printer-socket", "Unable to connect printer"},
    {JobEnd::DeviceUnavailable, "device-unavailable", "Unable to open printer device"},
    {JobEnd::FacePageFailed, "face-page-failed", "Printer failed during the job"},
    {JobEnd::PrinterFailed, "printer-failed", "Printer failed during the job"},
    {JobEnd::DeviceFailed, "device-failed", "Unable to write printer device"},
    {JobEnd::ClientStalled, "client-stalled", "Client did not take the printer's answers"},
    {JobEnd::ClientGaveUp, "client-gave-up", "Client gave up while the printer was unreachable"},
    {JobEnd::ClientAborted, "client-aborted", "Client aborted the job"},
    {JobEnd::PrinterCanceled, "printer-canceled", "Printer canceled the job"},
    {JobEnd::IdleTimeOut, "idle-time-out", "Job ended after idletime seconds without data"},
    {JobEnd::Stopped, "stopped", "Stopped before the job was done"},
    {JobEnd::Empty, "empty", "No job data: no face page"},
};
// clang-format on

const EndRow& endRow(JobEnd end) {
    for (const EndRow& row : kEnds)
        if (row.end == end)
            return row;
    return kEnds[0];
}

} // namespace

const char* outcomeName(JobEnd end) {
    return endRow(end).name;
}

const char* lostJobText(JobEnd end) {
    return endRow(end).text;
}

std::vector<std::string> outcomeNames() {
    std::vector<std::string> names;
    for (const EndRow& row : kEnds)
        names.emplace_back(row.name);
    return names;
}

bool endsInOrder(JobEnd end) {
    return end == JobEnd::Delivered || end == JobEnd::Empty || end == JobEnd::IdleTimeOut;
}

void finishJob(Client& client, JobEnd end) {
    if (endsInOrder(end))
        tindrel::closeConnection(client.fd);
    else
        tindrel::resetConnection(client.fd);
    jobServed(client, end);
}

void verboseLine(const char* line) {
    if (!verbose)
        return;
    std::puts(line);
    std::fflush(stdout);
}

std::string sentBytesText(int64_t bytes_sent) {
    return ": Sent bytes =[" + std::to_string(bytes_sent) + "]";
}
