// Partition tables in image files: writing, damaging and resealing them, and
// copying a volume made by the test-volume builder into a partition.
#pragma once

#include "e2e.h"
#include "rdbbuilder.h"

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace rdb {

inline void pwrite_all(const std::string &path, uint64_t at, const std::vector<uint8_t> &bytes) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), off_t(at)) != ssize_t(bytes.size()))
        throw std::runtime_error("rdbbuilder: cannot write " + path);
    close(fd);
}

inline void write(const std::string &path, const Table &t) {
    for (const auto &[at, bytes] : blocks(t)) pwrite_all(path, at, bytes);
}

// A sparse image of `bytes` bytes that holds the table.
inline std::string image(const std::string &name, uint64_t bytes, const Table &t) {
    std::string path = e2e::sparse_image(name, bytes);
    write(path, t);
    return path;
}

// Changes the long at byte `at` of the table block at byte `block` of the
// image; `reseal` seals the block again over its own SummedLongs.
inline void patch(const std::string &path, uint64_t block, uint32_t at, uint32_t value, bool reseal = true) {
    std::vector<uint8_t> b = e2e::read_range(path, block, 512);
    tv::put_be32(&b[at], value);
    if (reseal) seal(b.data());
    pwrite_all(path, block, b);
}

// Copies the volume into the image at byte `offset` (only the blocks that
// hold data, so large partitions stay sparse).
inline void place_volume(const std::string &path, uint64_t offset, tv::Volume &v) {
    std::string scratch = e2e::temp_path("partition-volume.img");
    v.write(scratch);
    for (const auto &[at, bytes] : e2e::sparse_data(scratch)) pwrite_all(path, offset + at, bytes);
    unlink(scratch.c_str());
}

}  // namespace rdb
