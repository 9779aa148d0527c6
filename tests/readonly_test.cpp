// The read-only guarantee: with -n the checker changes no byte of the image,
// whatever the volume's damage and whatever else is asked (-w, -c, both, or
// neither).  A write that -n refuses is reported, and a run that had to
// write but could not does not end as if it had.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {


std::uint64_t size_of(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? std::uint64_t(status.st_size) : 0;
}

struct Damage {
    const char *name;
    std::uint32_t dos_type;
    std::uint32_t total_blocks;
    std::function<void(tv::Volume &)> apply;
    bool root = true;  // the root block is found: the clear option writes it
    bool pass = true;  // the verification pass reaches its end: -w writes
    bool hides = false;  // the walk could not reach every block: -w refuses unless forced
};

// Every header of the tree below, by path.
std::uint32_t at(tv::Volume &v, const char *path) { return v.lookup(path); }

void populate(tv::Volume &v)
{
    std::uint32_t d = v.add_dir(v.root(), "d");
    std::uint32_t sub = v.add_dir(d, "sub");
    v.add_file(d, "big", v.payload() * (2 * v.table_size() + 5));
    for (const char *name : {"a", "b", "c"}) {
        tv::Opts o;
        o.slot = 0;
        v.add_file(sub, name, 700, o);
    }
    v.add_softlink(v.root(), "soft", "d/sub/a");
    v.add_hardlink(v.root(), "hard", sub);
}

const std::vector<Damage> &damages()
{
    static const std::vector<Damage> table = {
        {"sound volume", tv::kDos1, 1760, [](tv::Volume &) {}},
        {"bitmap differs from the tree", tv::kDos1, 1760,
         [](tv::Volume &v) {
             v.set_disk_bit(at(v, "d/big"), false);
             v.set_disk_bit(1000, true);
         }},
        {"bitmap block with a bad checksum", tv::kDos1, 1760,
         [](tv::Volume &v) { v.put32(v.bitmap_blocks()[0], 40, 0x12345678); }},
        {"bitmap flag clear", tv::kDos1, 1760,
         [](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_flag(512), 0);
             v.reseal_header(v.root());
         }},
        {"hash chain loops", tv::kDos1, 1760,
         [](tv::Volume &v) {
             std::uint32_t c = at(v, "d/sub/c");
             v.put32(c, tv::off::next_hash(512), at(v, "d/sub/a"));
             v.reseal_header(c);
         }},
        {"directory holds its ancestor", tv::kDos1, 1760,
         [](tv::Volume &v) {
             std::uint32_t sub = at(v, "d/sub");
             v.put32(sub, tv::off::table_long(5), at(v, "d"));
             v.reseal_header(sub);
         }},
        {"file extension chain loops", tv::kDos1, 1760,
         [](tv::Volume &v) {
             const auto &ext = v.ext_blocks(at(v, "d/big"));
             v.put32(ext.back(), tv::off::extension(512), ext.front());
             v.reseal_header(ext.back());
         }},
        {"dircache chain loops", 0x444F5305, 1760,
         [](tv::Volume &v) {
             const auto &cache = v.dircache_blocks(at(v, "d"));
             v.put32(cache.back(), 16, cache.front());
             v.reseal_dircache(cache.back());
         }},
        {"header checksum, types and key wrong", tv::kDos1, 1760,
         [](tv::Volume &v) {
             v.put32(at(v, "d/sub/b"), tv::off::checksum, 7);
             std::uint32_t soft = at(v, "soft");
             v.put32(soft, tv::off::secondary_type(512), 77);
             v.reseal_header(soft);
             std::uint32_t big = at(v, "d/big");
             v.put32(big, tv::off::header_key, 5);
             v.reseal_header(big);
         },
         true, true, true},
        {"names and comments of 255 bytes", tv::kDos1, 1760,
         [](tv::Volume &v) {
             std::uint32_t a = at(v, "d/sub/a");
             v.put8(a, tv::off::name_length(512), 255);
             v.put8(a, tv::off::comment_length(512), 255);
             v.reseal_header(a);
         }},
        {"data blocks cross-linked and out of range", tv::kDos1, 1760,
         [](tv::Volume &v) {
             std::uint32_t a = at(v, "d/sub/a"), b = at(v, "d/sub/b");
             v.put32(b, tv::off::data_ptr(512, 0), v.data_blocks(a)[0]);
             v.put32(b, tv::off::data_ptr(512, 1), 0xFFFFFFF0u);
             v.reseal_header(b);
         }},
        {"bitmap pointers 0 and past the end", tv::kDos1, 1760,
         [](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_pages(512), 0);
             v.put32(v.root(), tv::off::bitmap_pages(512) + 4, 0xFFFFFFFFu);
             v.reseal_header(v.root());
         }},
        {"bitmap extension chain loops", tv::kDos1, 2 + 27 * 4064 + 100,
         [](tv::Volume &v) {
             std::uint32_t e = v.bitmap_ext_blocks().at(0);
             v.put32(e, 12, e);
         }},
        {"bitmap extension chain ends early", tv::kDos1, 2 + 152 * 4064 + 100,
         [](tv::Volume &v) { v.put32(v.bitmap_ext_blocks().at(0), 508, 0); }, true, false},
        {"root block checksum wrong", tv::kDos1, 1760,
         [](tv::Volume &v) { v.put32(v.root(), tv::off::checksum, 1); }, false, false},
        {"DOS type unknown", 0x444F5309, 1760, [](tv::Volume &) {}, true, false},
    };
    return table;
}

struct Options {
    std::vector<std::string> args;
    bool writes;  // asks for a write that -n must refuse
};

TEST(ReadOnly, NoByteOfTheImageChanges)
{
    const Options options[] = {
        {{"-n"}, false},
        {{"-n", "-v", "-v"}, false},
        {{"-n", "-w"}, true},
        {{"-n", "-c"}, true},
        {{"-n", "-w", "-c"}, true},
        {{"-n", "-f", "-w", "-v"}, true},
    };
    for (const Damage &d : damages()) {
        SCOPED_TRACE(d.name);
        tv::Volume v(tv::VolumeSetup{.total_blocks = d.total_blocks, .dos_type = d.dos_type});
        populate(v);
        if (tv::dos_is_dircache(d.dos_type))
            v.add_dircache(v.lookup("d"), 2);
        v.finish();
        d.apply(v);
        std::string image = e2e::temp_path("readonly.img");
        v.write(image);
        const auto before = e2e::sparse_data(image);
        const std::uint64_t size = size_of(image);

        for (const Options &o : options) {
            std::string shown;
            for (const std::string &a : o.args)
                shown += a + " ";
            SCOPED_TRACE(shown);
            std::vector<std::string> args = o.args;
            args.push_back(image);
            e2e::Run run = e2e::vistrel(args);
            EXPECT_TRUE(e2e::sparse_data(image) == before && size_of(image) == size) << "the image changed";
            bool clear = std::find(o.args.begin(), o.args.end(), "-c") != o.args.end();
            // a write that was due was attempted and refused, and the run
            // says so by its status (the clear option comes before the DOS
            // type is read; -w at the end of the pass)
            bool forced = std::find(o.args.begin(), o.args.end(), "-f") != o.args.end();
            bool refused = o.writes && !clear && d.pass && d.hides && !forced;
            bool due = o.writes && (clear ? d.root : d.pass) && !refused;
            // status 1 for a run that stopped early, refused its write or
            // could not make it; 0 for a check read to its end
            EXPECT_EQ(run.status, refused || due || !d.pass ? 1 : 0) << run.out;
            if (refused) {
                EXPECT_NE(run.out.find("vistrel: error in directory tree. abort writing bitmap\n"), std::string::npos)
                    << run.out;
                EXPECT_EQ(run.status, 1) << run.out;
            }
            if (due) {
                EXPECT_NE(run.out.find("vistrel: unable to write block "), std::string::npos) << run.out;
                EXPECT_EQ(run.status, 1) << run.out;
            } else {
                EXPECT_EQ(run.out.find("unable to write"), std::string::npos) << run.out;
            }
        }
    }
}

}  // namespace
