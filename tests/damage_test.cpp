// vistrel on damaged volumes: every kind of damage that the checker names,
// loops in every chain, and what each does to the listing, to the marks in the
// rebuilt map (seen in the bitmap comparison) and to the exit status.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {

using tv::off::extension;
using tv::off::next_hash;
using tv::off::secondary_type;
constexpr std::uint32_t B = 512;

std::string write_image(tv::Volume &v, const std::string &name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}

// an entry in the slot its name hashes to, with its first data blocks and
// its header block given
tv::Opts with(std::vector<std::uint32_t> data = {}, std::uint32_t block = 0)
{
    tv::Opts o;
    o.data = std::move(data);
    o.block = block;
    return o;
}

// " [first] ... [last]"
std::string blocks(std::uint32_t first, std::uint32_t last)
{
    std::string out;
    for (std::uint32_t b = first; b <= last; ++b)
        out += " [", out += std::to_string(b), out += "]";
    return out;
}

const std::string head = "root block found at 880\ndetected a fast amiga filesystem\nread bitmap 0 : 881\n";
const std::string head5 = "root block found at 880\ndetected a dircache fast amiga filesystem\nread bitmap 0 : 881\n";

const std::string line_a = "       882 dj                                      1 Tue Nov 14 22:13:20 2023 \n";
const std::string line_b = "       884 iq                                      1 Tue Nov 14 22:13:20 2023 \n";
const std::string line_c = "       886 jd                                      1 Tue Nov 14 22:13:20 2023 \n";
const std::string line_d = "       888 dk                                      1 Tue Nov 14 22:13:20 2023 \n";
// the 73-block file of build_big: header 882, data 883 .. 954, extension 955, data 956
const std::string line_big = "       882 f                                   36865 Tue Nov 14 22:13:20 2023 \n";
const std::string big_header_trace = blocks(883, 954);

// dj, iq, jd in the chain of slot 0 (headers 882, 884, 886, each with one
// data block behind it), dk alone in slot 1 (888, data 889): their names hash
// to these slots
void build_chain(tv::Volume &v)
{
    for (const char *name : {"dj", "iq", "jd"})
        v.add_file(v.root(), name, 1);
    v.add_file(v.root(), "dk", 1);
    ASSERT_EQ(v.hash_slot("jd"), 0u);
    ASSERT_EQ(v.hash_slot("dk"), 1u);
    ASSERT_EQ(v.lookup("dk"), 888u);
}

void build_one(tv::Volume &v) { v.add_file(v.root(), "dj", 1); }
void build_big(tv::Volume &v) { ASSERT_EQ(v.add_file(v.root(), "f", 36865, {}), 882u); }

// directory d (882) with dircache 1500 -> 1501 -> 1502, holding file f (883, data 884)
void build_cached(tv::Volume &v)
{
    std::uint32_t d = v.add_dir(v.root(), "d", {});
    v.add_file(d, "f", 1, {});
    v.add_dircache(d, 3, {1500, 1501, 1502});
}

struct Case {
    const char *name;
    std::uint32_t dos_type;
    std::function<void(tv::Volume &)> build, damage;
    std::string out;
};

void run_cases(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tv::VolumeSetup setup;
        setup.dos_type = c.dos_type;
        tv::Volume v(setup);
        c.build(v);
        v.finish();
        c.damage(v);
        e2e::Run run = e2e::vistrel({"-n", "-vv", write_image(v, "damage.adf")});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);  // damage is reported, never fatal
    }
}

// Damage to the second entry of a chain, or a next_hash that leads nowhere
// useful: the message, the rest of the chain neither listed nor marked, and
// the next slot walked.
TEST(Damage, EndsTheHashChain)
{
    struct Row {
        const char *name;
        std::function<void(tv::Volume &)> damage;
        const char *message;
    };
    const Row rows[] = {
        {"checksum", [](tv::Volume &v) { v.put32(884, 12, 0xABC); },
         "vistrel: dir entry 884 has invalid checksum (abc)\n"},
        {"primary type", [](tv::Volume &v) { v.put32(884, 0, 0xFFFFFFF0); v.reseal_header(884); },
         "vistrel: dir entry 884 has invalid primary type -16\n"},
        {"root type", [](tv::Volume &v) { v.put32(884, secondary_type(B), 1); v.reseal_header(884); },
         "vistrel: dir entry 884 has root type\n"},
        {"unknown type", [](tv::Volume &v) { v.put32(884, secondary_type(B), 7); v.reseal_header(884); },
         "vistrel: dir entry 884 has unknown secondary type 7\n"},
        {"the root block", [](tv::Volume &v) { v.put32(882, next_hash(B), 880); v.reseal_header(882); },
         "vistrel: dir entry 880 has root type\n"},
        {"unreadable", [](tv::Volume &v) { v.put32(882, next_hash(B), 5000); v.reseal_header(882); },
         "vistrel: unable to read block 5000 (block is out of range)\n"},
        {"above 2^31", [](tv::Volume &v) { v.put32(882, next_hash(B), 0xF0000000); v.reseal_header(882); },
         "vistrel: unable to read block -268435456 (block is out of range)\n"},
    };
    std::vector<Case> cases;
    for (const Row &row : rows)
        cases.push_back({row.name, tv::kDos1, build_chain, row.damage,
                         head + line_a + " [883]\n" + row.message + line_d + " [889]\n" +
                             "bitmap check: {884} {885} {886} {887} \n"});
    run_cases(cases);
}

TEST(Damage, HeadersAndFiles)
{
    auto nothing = [](tv::Volume &) {};
    run_cases({
        {"wrong header keys", tv::kDos1,
         [](tv::Volume &v) {
             std::uint32_t d = v.add_dir(v.root(), "d", {});
             v.add_file(d, "f", 1, {});
             v.add_softlink(v.root(), "s", "d/f", {});
         },
         [](tv::Volume &v) {
             v.put32(882, 4, 1234);
             v.reseal_header(882);
             v.put32(883, 4, 77);
             v.put32(883, 8, 5);  // and a wrong blockcount, named by the stored key
             v.reseal_header(883);
             v.put32(885, 4, 99);  // links have no key check
             v.reseal_header(885);
         },
         head +
             "vistrel: wrong header key (1234, 882)\n"
             "      1234 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n"
             "vistrel: wrong header key (77, 883)\n"
             "        77 f                                       1 Tue Nov 14 22:13:20 2023 \n"
             "vistrel: wrong blockcount 5 in 77\n"
             " [884]\n"
             "        99 s                              <SOFTLINK> Tue Nov 14 22:13:20 2023  \n"
             "bitmap check: \n"},
        {"wrong blockcount in an extension block", tv::kDos1, build_big,
         [](tv::Volume &v) {
             v.put32(955, 8, 3);
             v.reseal_header(955);
         },
         head + line_big + big_header_trace + "\n [ext:955]vistrel: wrong blockcount 3 in 955\n [956]\nbitmap check: \n"},
        {"block exceeds file size", tv::kDos1,
         [](tv::Volume &v) {
             build_one(v);
             v.mark_used(1000);
         },
         [](tv::Volume &v) {
             v.put32(882, tv::off::data_ptr(B, 1), 1000);
             v.reseal_header(882);
         },
         head + line_a + " [883]vistrel: block 1000 exceeds file size\n\nbitmap check: {1000} \n"},
        {"extended block exceeds file size", tv::kDos1,
         [](tv::Volume &v) {
             build_one(v);
             ASSERT_EQ(v.alloc(), 884u);
         },
         [](tv::Volume &v) {
             // a sound extension block of the file but for its count
             v.put32(884, 0, tv::kTypeList);
             v.put32(884, 4, 884);
             v.put32(884, tv::off::parent(B), 882);
             v.put32(884, secondary_type(B), std::uint32_t(tv::Sec::File));
             v.put32(884, 8, 1);
             v.put32(884, tv::off::data_ptr(B, 0), 1001);
             v.reseal_header(884);
             v.put32(882, extension(B), 884);
             v.reseal_header(882);
         },
         head + line_a +
             " [883]vistrel: extended block 884 exceeds file size\n"
             "vistrel: wrong blockcount 1 in 884\n"
             "vistrel: block 1001 exceeds file size\n"
             "\n"
             "bitmap check: {884} \n"},
        {"shared data block", tv::kDos1,
         [](tv::Volume &v) {
             build_one(v);
             v.add_file(v.root(), "iq", 1, with({883}));
         },
         nothing,
         head + line_a + " [883]\n" + line_b + " [883]vistrel: block 883 already allocated\n\nbitmap check: \n"},
        {"bad pointers among good ones", tv::kDos1,
         [](tv::Volume &v) { v.add_file(v.root(), "a", 2000, with({883, 0, 883, 884})); },
         nothing,
         head + "       882 a                                    2000 Tue Nov 14 22:13:20 2023 \n" +
             " [883] [0]vistrel: can't allocate block 0 (block is reserved)\n"
             " [883]vistrel: block 883 already allocated\n"
             " [884]\nbitmap check: \n"},
        {"pointers that wrap past 2^32 - 1", tv::kDos1,
         [](tv::Volume &v) { v.add_file(v.root(), "a", 1000, with({0xFFFFFFFF, 0})); },
         nothing,
         head + "       882 a                                    1000 Tue Nov 14 22:13:20 2023 \n" +
             " [4294967295]vistrel: can't allocate block -1 (block is out of range)\n"
             " [0]vistrel: can't allocate block 0 (block is reserved)\n"
             "\nbitmap check: \n"},
        {"zero pointer within the size", tv::kDos1, [](tv::Volume &v) { v.add_file(v.root(), "dj", 1, with({0})); },
         nothing, head + line_a + " [0]vistrel: can't allocate block 0 (block is reserved)\n\nbitmap check: \n"},
        {"pointers above 2^31", tv::kDos1,
         [](tv::Volume &v) { v.add_file(v.root(), "dj", 1, with({0xC0000000})); },
         [](tv::Volume &v) {
             v.put32(882, tv::off::data_ptr(B, 1), 0x80000001);
             v.reseal_header(882);
         },
         head + line_a +
             " [3221225472]vistrel: can't allocate block -1073741824 (block is out of range)\n"
             "vistrel: block -2147483647 exceeds file size\n"
             "\n"
             "bitmap check: \n"},
        {"unreadable extension block", tv::kDos1, build_chain,
         [](tv::Volume &v) {
             v.put32(882, extension(B), 5000);
             v.reseal_header(882);
         },
         head + line_a + " [883]vistrel: unable to read block 5000 (block is out of range)\n" + line_b + " [885]\n" +
             line_c + " [887]\n" + line_d + " [889]\nbitmap check: \n"},
        {"wrong bits both ways", tv::kDos1, build_one,
         [](tv::Volume &v) {
             v.set_disk_bit(882, false);
             v.set_disk_bit(1000, true);
         },
         head + line_a + " [883]\nbitmap check: <882> {1000} \n"},
    });
}

TEST(Damage, Dircache)
{
    const std::string dir_line = "       882 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n";
    const std::string file_line = "       883 f                                       1 Tue Nov 14 22:13:20 2023 \n";
    // the root has no dircache block: its trace is an empty line
    auto expect = [&](const std::string &trace, const std::string &differences) {
        return head5 + "\n" + dir_line + trace + file_line + " [884]\nbitmap check: " + differences + "\n";
    };
    run_cases({
        {"checksum", tv::kDos0 + 5, build_cached, [](tv::Volume &v) { v.put32(1501, 12, 1); },
         expect(" [1500]vistrel: dcache entry 1501 has invalid checksum\n", "{1501} {1502} ")},
        {"key", tv::kDos0 + 5, build_cached,
         [](tv::Volume &v) {
             v.put32(1501, 4, 7);
             v.reseal_dircache(1501);
         },
         expect(" [1500]vistrel: dcache entry 1501 has key\n [1501] [1502]\n", "")},
        {"loop", tv::kDos0 + 5, build_cached,
         [](tv::Volume &v) {
             v.put32(1502, 16, 1500);
             v.reseal_dircache(1502);
         },
         expect(" [1500] [1501] [1502]vistrel: dcache entry 1500 already visited\n", "")},
        {"unreadable", tv::kDos0 + 5, build_cached,
         [](tv::Volume &v) {
             v.put32(1501, 16, 5000);
             v.reseal_dircache(1501);
         },
         expect(" [1500] [1501]vistrel: unable to read block 5000 (block is out of range)\n", "{1502} ")},
        // without the dircache variant the chain is not followed
        {"not a dircache volume", tv::kDos1, build_cached, [](tv::Volume &) {},
         head + dir_line + file_line + " [884]\nbitmap check: {1500} {1501} {1502} \n"},
    });
}

TEST(Damage, Loops)
{
    run_cases({
        {"hash chain coming back", tv::kDos1, build_chain,
         [](tv::Volume &v) {
             v.put32(886, next_hash(B), 882);
             v.reseal_header(886);
         },
         head + line_a + " [883]\n" + line_b + " [885]\n" + line_c + " [887]\n" +
             "vistrel: dir entry 882 already visited\n" + line_d + " [889]\nbitmap check: \n"},
        {"directory holding its ancestor", tv::kDos1,
         [](tv::Volume &v) {
             std::uint32_t d = v.add_dir(v.root(), "d", {});
             std::uint32_t s = v.add_dir(d, "s", {});
             v.add_file(s, "f", 1, {});
         },
         [](tv::Volume &v) {
             v.put32(883, tv::off::table_long(0), 882);
             v.reseal_header(883);
         },
         head +
             "       882 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n"
             "       883 s                                   <DIR> Tue Nov 14 22:13:20 2023  \n"
             "vistrel: dir entry 882 already visited\n"
             "       884 f                                       1 Tue Nov 14 22:13:20 2023 \n"
             " [885]\n"
             "bitmap check: \n"},
        {"file extension chain coming back", tv::kDos1, build_big,
         [](tv::Volume &v) {
             v.put32(955, extension(B), 955);
             v.reseal_header(955);
         },
         head + line_big + big_header_trace +
             "\n [ext:955] [956]vistrel: extended block 955 already visited\nbitmap check: \n"},
        {"header claimed as a data block", tv::kDos1,
         [](tv::Volume &v) {
             std::uint32_t d = v.add_dir(v.root(), "d", with({}, 900));
             v.add_file(d, "g", 1, {});
             v.add_file(v.root(), "a", 1, with({900}));
         },
         [](tv::Volume &) {},
         head +
             "       884 a                                       1 Tue Nov 14 22:13:20 2023 \n"
             " [900]\n"
             "       900 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n"
             "vistrel: block 900 already allocated\n"
             "       882 g                                       1 Tue Nov 14 22:13:20 2023 \n"
             " [883]\n"
             "bitmap check: \n"},
    });
}

// A bitmap block that load cannot take leaves its part of the disk map free:
// every block in use there shows as "<n>", and the block itself is not marked.
TEST(Damage, BitmapBlocks)
{
    const std::string tail = line_a + " [883]\nbitmap check: <880> <882> <883> \n";
    const std::string detected = "root block found at 880\ndetected a fast amiga filesystem\n";
    auto pointer = [](std::uint32_t block) {
        return [block](tv::Volume &v) {
            v.put32(880, tv::off::bitmap_pages(B), block);
            v.reseal_header(880);
        };
    };
    run_cases({
        // a sound pointer: the block is the bitmap block that -w writes over it
        {"wrong checksum", tv::kDos1, build_one, [](tv::Volume &v) { v.put32(881, 400, 0x12345678); },
         detected + "vistrel: bitmap block 881 has invalid checksum\n" + line_a +
             " [883]\nbitmap check: <880> <881> <882> <883> \n"},
        {"pointer 0", tv::kDos1, build_one, pointer(0),
         detected + "vistrel: unable to read block 0 (block is reserved)\nvistrel: bitmap block 0 is unreadable\n" +
             tail},
        {"pointer past the end", tv::kDos1, build_one, pointer(1760),
         detected +
             "vistrel: unable to read block 1760 (block is out of range)\nvistrel: bitmap block 1760 is unreadable\n" +
             tail},
    });
}

// 153 bitmap blocks: the root's 25, 127 in a full first extension block and
// one in a second.
TEST(Damage, BitmapBlocksMissing)
{
    tv::VolumeSetup setup;
    setup.total_blocks = 2 + 152 * 4064 + 1;
    tv::Volume v(setup);
    ASSERT_EQ(v.bitmap_ext_blocks().size(), 2u);
    std::uint32_t first = v.bitmap_ext_blocks()[0];
    v.put32(first, B - 4, 0);
    e2e::Run run = e2e::vistrel({"-n", write_image(v, "missing.adf")});
    EXPECT_EQ(run.out, "detected a fast amiga filesystem\nvistrel: bitmap blocks missing\n");
    EXPECT_EQ(run.status, 1);
}

// 26 bitmap blocks: one extension block holding one pointer, whose next
// pointer leads back to itself.  The chain ends; the check goes on.
TEST(Damage, BitmapExtensionLoop)
{
    tv::VolumeSetup setup;
    setup.total_blocks = 101603;
    tv::Volume v(setup);
    ASSERT_EQ(v.root(), 50802u);
    ASSERT_EQ(v.bitmap_ext_blocks(), std::vector<std::uint32_t>{50828});
    v.put32(50828, 4, 50828);
    e2e::Run run = e2e::vistrel({"-n", write_image(v, "extloop.adf")});
    EXPECT_EQ(run.out, "detected a fast amiga filesystem\n"
                       "vistrel: block 50828 already allocated\n"
                       "vistrel: bitmap extension chain loops at block 50828\n");
    EXPECT_EQ(run.status, 0);
}

}  // namespace
