// Helpers for the end-to-end tests: run the real binaries on image files and
// capture their whole output and exit status.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct Run {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output, whole
    std::string err;  // standard error, whole
};

// Runs `program` with `args` (no shell), TZ=UTC and LC_ALL=C unless `env`
// gives other NAME=value pairs, which are added to the environment; standard
// input is /dev/null.
Run run(const std::string &program, const std::vector<std::string> &args,
        const std::vector<std::string> &env = {});
// true when the checker's arguments ask for a write (-c, -w, alone or in a
// group of short options, or their long names, or --restore)
bool asks_for_write(const std::vector<std::string> &args);
// Drops the image files among the arguments from the page cache, so that the
// next run reads them from the disk, as on a cold device: only then does the
// checker's read-ahead run.
void evict_images(const std::vector<std::string> &args);
// With REFERENCE_VISTREL or REFERENCE_PLANDOR set to another build's
// program (the build before a change that must not change what the tools
// do), every run is made by it as well, on the same images as they were
// before the run, and must print the same, end alike and leave the same
// bytes.  The formatter's runs are both made at one fixed time.
Run compared_with_reference(const char *variable, const std::string &program, const std::vector<std::string> &args);

// The checker's run.  One that writes nothing is made on a cold cache, and
// again by the build with read-ahead compiled out, which must print the same
// and end alike.
inline Run vistrel(const std::vector<std::string> &args)
{
    bool writes = asks_for_write(args);
    if (!writes)
        evict_images(args);
    Run result = compared_with_reference("REFERENCE_VISTREL", VISTREL_PATH, args);
    if (!writes) {
        Run plain = run(VISTREL_PLAIN_PATH, args);
        EXPECT_EQ(plain.out, result.out) << "read-ahead changed the report";
        EXPECT_EQ(plain.err, result.err) << "read-ahead changed standard error";
        EXPECT_EQ(plain.status, result.status) << "read-ahead changed the exit status";
    }
    return result;
}
inline Run plandor(const std::vector<std::string> &args)
{
    return compared_with_reference("REFERENCE_PLANDOR", PLANDOR_PATH, args);
}

// The variants that the tests walk, and the checker's detection line for each
struct Variant {
    std::uint32_t dos_type;
    const char *detected;
};

inline const Variant variants[] = {
    {0x444F5300u + 0, "detected a old amiga filesystem\n"},
    {0x444F5300u + 1, "detected a fast amiga filesystem\n"},
    {0x444F5300u + 2, "detected a international old amiga filesystem\n"},
    {0x444F5300u + 3, "detected a international fast amiga filesystem\n"},
    {0x444F5300u + 4, "detected a dircache old amiga filesystem\n"},
    {0x444F5300u + 5, "detected a dircache fast amiga filesystem\n"},
    {0x6D754600u + 1, "detected a multiuser fast amiga filesystem\n"},
    {0x6D754600u + 4, "detected a dircache multiuser old amiga filesystem\n"},
    {0x6D754653u, "detected a international multiuser fast amiga filesystem\n"},
};

// `prefix` and the number, appended: g++ 12 at -O3 warns of an overlapping
// copy (-Wrestrict) inside std::string for "f" + std::to_string(n), which
// copies the number to make room in front of it.
inline std::string numbered(const char *prefix, std::uint64_t n)
{
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// A fresh path in this test program's scratch folder (removed at exit).
std::string temp_path(const std::string &name);
// A sparse image file of `bytes` bytes.
std::string sparse_image(const std::string &name, std::uint64_t bytes);

std::vector<std::uint8_t> read_file(const std::string &path);
// Bytes [offset, offset + count) of a file.
std::vector<std::uint8_t> read_range(const std::string &path, std::uint64_t offset, std::size_t count);
std::uint32_t read_be32(const std::string &path, std::uint64_t offset);
bool exists(const std::string &path);
// The stretches of data in a sparse file, by offset: holes stay out, so a
// volume of millions of blocks costs only the blocks that were written.
std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> sparse_data(const std::string &path);
// "read bitmap i : n\n" for the 25 bitmap blocks of the root, from block `first` on
std::string root_bitmap_reads(std::uint32_t first);

}  // namespace e2e
