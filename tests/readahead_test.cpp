// The check's read-ahead changes nothing that is printed: on volumes made to
// mislead the look-ahead in front of the walk, the checker run on a cold
// cache prints the same and ends alike with read-ahead and with a build that
// leaves it out (e2e::vistrel compares the two on every run that writes
// nothing).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "e2e.h"
#include "rdbimage.h"
#include "volbuilder.h"

namespace {

struct Case {
    const char *name;
    tv::VolumeSetup setup;
    std::function<void(tv::Volume &)> make;
    const char *expected;  // a line that the report holds, or "" for none
};

// a directory with `dirs` subdirectories of `files` empty files each
void wide_tree(tv::Volume &v, std::uint32_t dirs, std::uint32_t files)
{
    for (std::uint32_t d = 0; d < dirs; ++d) {
        std::uint32_t dir = v.add_dir(v.root(), e2e::numbered("d", d));
        for (std::uint32_t f = 0; f < files; ++f)
            v.add_file(dir, e2e::numbered("f", f), 0);
    }
}

tv::VolumeSetup blocks(std::uint32_t block_size, std::uint32_t total, std::uint64_t extra = 0)
{
    tv::VolumeSetup setup;
    setup.block_size = block_size;
    setup.total_blocks = total;
    setup.extra_bytes = extra;
    return setup;
}

TEST(ReadAhead, MisleadingVolumesPrintTheSame)
{
    const Case cases[] = {
        {"a directory's table holds its own header", blocks(512, 1760),
         [](tv::Volume &v) {
             std::uint32_t dir = v.add_dir(v.root(), "loop");
             v.add_file(dir, "f", 100);
             v.finish();
             v.put32(dir, 24, dir);
             v.reseal_header(dir);
         },
         "already visited"},
        {"a hash chain leaves the volume", blocks(1024, 4000),
         [](tv::Volume &v) {
             std::uint32_t file = v.add_file(v.root(), "f", 5000);
             v.finish();
             v.put32(file, tv::off::next_hash(1024), 0xFFFFFFF0u);
             v.reseal_header(file);
         },
         "out of range"},
        {"a hash chain runs into a reserved block", blocks(512, 1760),
         [](tv::Volume &v) {
             std::uint32_t file = v.add_file(v.root(), "f", 5000);
             v.finish();
             v.put32(file, tv::off::next_hash(512), 1);
             v.reseal_header(file);
         },
         "reserved"},
        {"an entry in the part block at the image's end", blocks(512, 1760, 100),
         [](tv::Volume &v) {
             std::uint32_t file = v.add_file(v.root(), "f", 10);
             v.finish();
             v.put32(file, tv::off::next_hash(512), 1760);
             v.reseal_header(file);
         },
         "out of range"},
        {"a file extension chain that loops", blocks(512, 4000),
         [](tv::Volume &v) {
             std::uint32_t file = v.add_file(v.root(), "f", v.payload() * (3 * v.table_size() + 1));
             v.add_file(v.root(), "after", 1);
             v.finish();
             std::uint32_t last = v.ext_blocks(file).back();
             v.put32(last, tv::off::extension(512), last);
             v.reseal_header(last);
         },
         "already visited"},
        {"a dircache chain that loops", [] {
             tv::VolumeSetup s = blocks(512, 1760);
             s.dos_type = tv::kDos0 + 5;  // the fast filesystem with directory caches
             return s;
         }(),
         [](tv::Volume &v) {
             std::uint32_t dir = v.add_dir(v.root(), "d");
             std::vector<std::uint32_t> cache = v.add_dircache(dir, 2);
             v.add_file(dir, "f", 10);
             v.finish();
             v.put32(cache[1], 16, cache[0]);
             v.reseal_dircache(cache[1]);
         },
         "dcache entry"},
        // more directories than the look-ahead hints at once: some wait
        {"a tree wider than the read-ahead window", blocks(512, 90000),
         [](tv::Volume &v) { wide_tree(v, 400, 100); }, ""},
        {"a sound tree of 4096-byte blocks", blocks(4096, 20000),
         [](tv::Volume &v) { wide_tree(v, 20, 300); }, ""},
        // hints joined across the data between headers, several blocks a page
        {"a tree of 1024-byte blocks with data between its headers", blocks(1024, 40000),
         [](tv::Volume &v) {
             for (std::uint32_t d = 0; d < 30; ++d) {
                 std::uint32_t dir = v.add_dir(v.root(), e2e::numbered("d", d));
                 for (std::uint32_t f = 0; f < 200; ++f)
                     v.add_file(dir, e2e::numbered("f", f), (f % 5) * 1000 + (f % 97 == 0 ? 200000 : 0));
             }
         },
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tv::Volume v(c.setup);
        c.make(v);
        std::string image = e2e::temp_path("readahead.img");
        v.write(image);
        for (const char *verbosity : {"-v", "-vv"}) {
            e2e::Run run = e2e::vistrel({"-n", verbosity, image});
            EXPECT_EQ(run.status, 0);
            if (*c.expected)
                EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
            else
                EXPECT_EQ(run.out.find("vistrel:"), std::string::npos) << run.out;
        }
    }
}

TEST(ReadAhead, VolumeInAPartitionThatStartsInsideAPage)
{
    // cylinders of one 512-byte sector: the partition starts 4608 bytes in,
    // so the volume's blocks and the page cache's pages do not line up
    rdb::Table t;
    rdb::Part part;
    part.surfaces = 1, part.blocks_per_track = 1, part.low_cyl = 9, part.high_cyl = 9 + 8000 - 1;
    t.parts.push_back(part);
    std::string image = rdb::image("readahead-part.img", 8 << 20, t);
    tv::Volume v(blocks(512, 8000));
    for (std::uint32_t d = 0; d < 10; ++d) {
        std::uint32_t dir = v.add_dir(v.root(), e2e::numbered("d", d));
        for (std::uint32_t f = 0; f < 60; ++f)
            v.add_file(dir, e2e::numbered("f", f), (f % 4) * 700);
    }
    rdb::place_volume(image, part.first_byte(), v);
    for (const char *verbosity : {"-v", "-vv"}) {
        e2e::Run run = e2e::vistrel({"-n", verbosity, "-p", "1", image});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.find("vistrel:"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("partition 1 (DH0) at bytes 4608 to"), std::string::npos) << run.out;
    }
}

}  // namespace
