#include "facepage/facepage.h"

#include "common/io.h"

FacePageSender sendFacePage = nullptr;
FILE* spool_file = nullptr;

int sendPiece(int connection, std::string_view piece) {
    if (connection != 0)
        return tindrel::sendAll(connection, piece) == piece.size() ? 0 : 1;
    if (!spool_file)
        return 1;
    bool written = piece.empty() ||
                   std::fwrite(piece.data(), 1, piece.size(), spool_file) == piece.size();
    // Flushed per piece so the device sees the face page before the job's bytes.
    return std::fflush(spool_file) == 0 && written ? 0 : 1;
}
