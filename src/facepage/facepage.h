// Face page: the user database and the two face-page senders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <vector>

// One entry of the user database.
struct UserRecord {
    int32_t index = 0;  // position in the file counted from 1
    std::string ip_address;
    std::string office;
    std::string phone;
};

// Loaded records, in file order. Read widths of the three tokens.
extern std::vector<UserRecord> userDb;
inline constexpr size_t kDbAddressWidth = 20;
inline constexpr size_t kDbOfficeWidth = 10;
inline constexpr size_t kDbPhoneWidth = 10;

int ReadDb();
// 0-based position of the record for client_ip, or -1 when not listed.
int lookupIp(std::string_view client_ip);

// connection: a connected socket, or 0 to write to spool_file.
// address: the client's IPv4 address in network byte order.
using FacePageSender = int (*)(int connection, in_addr address, const char* client_ip);
extern FacePageSender sendFacePage;
// The open device file of the current spool job.
extern FILE* spool_file;

// Output rule of both senders: the whole piece on the connection, or written
// to spool_file and flushed when connection is 0. Returns 0, or 1 on failure.
int sendPiece(int connection, std::string_view piece);

inline constexpr size_t kTemplatePiece = 1400;

int SendRostoPS(int connection, in_addr address, const char* client_ip);
int SendRostoTXT(int connection, in_addr address, const char* client_ip);
int stampDate(char* buffer, size_t size);

// A value made safe to place inside a PostScript string literal.
std::string psEscape(std::string_view value);
// Format line of the text page: the first "%s" takes the value, "%%" gives
// "%", every other character is copied as it stands.
std::string formatTxtLine(std::string_view line, std::string_view value);
// Host's official name for an IPv4 address; empty when not found.
std::string hostNameOf(in_addr address);
