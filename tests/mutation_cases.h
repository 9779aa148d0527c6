// The damage of the mutation tests: a small tree with every kind of entry and
// block, and the fields that are damaged one at a time, with the values they
// take.  Shared by the check's mutation test and the copy-out's.
#pragma once

#include "volbuilder.h"

#include <cstdint>
#include <iterator>
#include <vector>

namespace {

struct Built {
    tv::Volume volume;
    std::vector<std::uint32_t> headers, extensions, dircaches;
    std::vector<std::uint32_t> files;  // big, small, empty, chained
};

// A small tree with every kind of entry and block, on a dircache volume so
// that the dircache chains are walked too.
inline void populate(Built &b)
{
    tv::Volume &v = b.volume;
    std::uint32_t root = v.root();
    std::uint32_t dir = v.add_dir(root, "Dir", {.comment = "a directory"});
    std::uint32_t sub = v.add_dir(dir, "Sub");
    std::uint32_t big = v.add_file(dir, "big", 100 * 512);  // one extension block
    std::uint32_t small = v.add_file(root, "small", 700, {.comment = "two blocks"});
    std::uint32_t empty = v.add_file(sub, "empty", 0);
    std::uint32_t soft = v.add_softlink(root, "soft", "Dir/big");
    std::uint32_t hard = v.add_hardlink(sub, "hard", small);
    std::uint32_t linkdir = v.add_hardlink(root, "linkdir", sub);
    // two entries in one hash chain
    std::uint32_t chained = v.add_file(root, "chained", 10, {.slot = v.hash_slot("small")});
    v.add_dircache(root, 1);
    v.add_dircache(dir, 2);
    b.headers = {dir, sub, big, small, empty, soft, hard, linkdir, chained};
    b.files = {big, small, empty, chained};
    b.extensions = v.ext_blocks(big);
    b.dircaches = v.dircache_blocks(dir);
}

struct Field {
    const char *name;
    std::uint32_t (*offset)(std::uint32_t block_size);
};

const Field header_fields[] = {
    {"type", [](std::uint32_t) { return tv::off::type; }},
    {"header_key", [](std::uint32_t) { return tv::off::header_key; }},
    {"high_seq", [](std::uint32_t) { return tv::off::high_seq; }},
    {"first slot", [](std::uint32_t) { return tv::off::table_long(0); }},
    {"last slot", [](std::uint32_t B) { return tv::off::table_long(B / 4 - 57); }},
    {"byte_size", [](std::uint32_t B) { return tv::off::byte_size(B); }},
    {"comment_length", [](std::uint32_t B) { return tv::off::comment_length(B) & ~3u; }},
    {"name_length", [](std::uint32_t B) { return tv::off::name_length(B); }},
    {"next_hash", [](std::uint32_t B) { return tv::off::next_hash(B); }},
    {"parent", [](std::uint32_t B) { return tv::off::parent(B); }},
    {"extension", [](std::uint32_t B) { return tv::off::extension(B); }},
    {"secondary_type", [](std::uint32_t B) { return tv::off::secondary_type(B); }},
};

// the fields of a file extension block
const Field extension_fields[] = {
    {"type", [](std::uint32_t) { return tv::off::type; }},
    {"header_key", [](std::uint32_t) { return tv::off::header_key; }},
    {"high_seq", [](std::uint32_t) { return tv::off::high_seq; }},
    {"checksum", [](std::uint32_t) { return tv::off::checksum; }},
    {"first slot", [](std::uint32_t) { return tv::off::table_long(0); }},
    {"last slot", [](std::uint32_t B) { return tv::off::table_long(B / 4 - 57); }},
    {"parent", [](std::uint32_t B) { return tv::off::parent(B); }},
    {"extension", [](std::uint32_t B) { return tv::off::extension(B); }},
    {"secondary_type", [](std::uint32_t B) { return tv::off::secondary_type(B); }},
};

const Field dircache_fields[] = {
    {"own number", [](std::uint32_t) { return 4u; }},
    {"next", [](std::uint32_t) { return 16u; }},
};

inline std::vector<std::uint32_t> damaged_values(std::uint32_t old, std::uint32_t total)
{
    return {0, 0xFFFFFFFFu, old + 1, old - 1, total, 0x80000000u};
}

}  // namespace
