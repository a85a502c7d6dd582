// Face page: the user database and the two face-page senders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "common/address.h"

// One entry of the user database.
struct UserRecord {
    int32_t index = 0; // position in the file counted from 1
    std::string ip_address;
    std::string office;
    std::string phone;
};

// Loaded records, in file order. Read widths of the three tokens.
extern std::vector<UserRecord> userDb;
// The address width fits IPv6 text; a token of at most 20 characters, every
// IPv4 address among them, reads as it always did.
inline constexpr size_t kDbAddressWidth = 45;
inline constexpr size_t kDbOfficeWidth = 10;
inline constexpr size_t kDbPhoneWidth = 10;

int ReadDb();
// 0-based position of the first record for client_ip, or -1 when not listed.
// Addresses are compared as addresses, so 2001:db8::1 matches a record
// written 2001:0db8:0:0::1; a record that is no address matches its exact text.
int lookupIp(std::string_view client_ip);

// Where a face page goes: the printer connection, or the open device file of
// a spool job (set exactly one).
struct PageOutput {
    int socket = -1;
    // Sends a piece to `socket`, returning the bytes that went out; when
    // unset, a plain blocking send. The job passes one that a stop request
    // ends, so a printer that does not read cannot hold a stop.
    size_t (*send)(int socket, std::string_view piece) = nullptr;
    FILE* device = nullptr;
    // Turns false once a piece did not go out whole; later pieces are then
    // not sent, and the page and its job are lost.
    bool whole = true;
    int error = 0; // errno of the piece that failed
    // The template could not be opened for a reason other than a shortage of
    // descriptors or memory: no later job can have a face page either.
    bool template_unreadable = false;
};

// What the job says of itself, as cleaned UTF-8 (see recordForm); empty
// when the job does not say. The pages show them in their page form.
struct PageClaims {
    std::string owner;
    std::string document;
};

// address: the client's address, for the host-name lookup. Returns 0 when
// the page went out whole and its log line was written, else 1.
using FacePageSender = int (*)(PageOutput& out, const tindrel::NetAddress& address,
                               const char* client_ip, const PageClaims& claims);
extern FacePageSender sendFacePage;

// The whole piece on the socket, or written to the device and flushed.
// Returns 0, or 1 when the piece did not go out whole (see PageOutput::whole).
int sendPiece(PageOutput& out, std::string_view piece);
// Whether a template that fails to open with this errno stops the service.
bool templateMissingIsFatal(int err);

inline constexpr size_t kTemplatePiece = 1400;

int SendRostoPS(PageOutput& out, const tindrel::NetAddress& address, const char* client_ip,
                const PageClaims& claims);
int SendRostoTXT(PageOutput& out, const tindrel::NetAddress& address, const char* client_ip,
                 const PageClaims& claims);
int stampDate(char* buffer, size_t size);

// A value made safe to place inside a PostScript string literal.
std::string psEscape(std::string_view value);
// Format line of the text page: the first "%s" takes the value, "%%" gives
// "%", every other character is copied as it stands.
std::string formatTxtLine(std::string_view line, std::string_view value);
// Host's name for an address of either family (its port is ignored); empty
// when not found, or when the lookup takes longer than kLookupSeconds.
// Answers are kept a minute.
inline constexpr int kLookupSeconds = 2;
std::string hostNameOf(const tindrel::NetAddress& address);
// The child looking up a client's or the printer's name while one runs, else 0:
// a daemon ended by a signal kills it.
extern volatile pid_t lookupChild;
