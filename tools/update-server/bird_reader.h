// Reading the identity of a BIRD firmware file: just enough of the format to
// tell which build a file holds and for which modules, and to refuse files
// that are damaged.
#ifndef UPDATE_SERVER_BIRD_READER_H
#define UPDATE_SERVER_BIRD_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace update_server {

// The four fields of a file's identity block (block type 4).
struct BirdIdentity {
    unsigned build = 0;   // decimal, never 0 in an accepted file
    std::string version;  // as written, up to the first space
    unsigned serial = 0;  // 0 when the file is for any module of its model
    std::string model;    // model name, trailing spaces removed
};

// Largest block data a file may expand to; a zlib stream that inflates to
// more is refused rather than held in memory.
constexpr size_t kBirdMaxBlockData = 256u * 1024u * 1024u;

// Checks the whole file (header, zlib stream, block list, checksum field)
// and reads its first identity block. Returns false with a one-line reason
// in `error` when the file is damaged or has no usable identity block.
bool ReadBirdIdentity(const std::vector<uint8_t>& file, BirdIdentity& identity, std::string& error);

}  // namespace update_server

#endif
