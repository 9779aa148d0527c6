// What the walk believes no longer: every entry's parent pointer and hash
// slot, and every file extension block's checksum, type, key, parent and
// secondary type.  The name hash itself, each message at every block size
// and variant in the whole output at -v and -vv, an extension block of random
// bytes, and the count of damage that hides blocks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"
#include "internal.h"

namespace {

// ---------------------------------------------------------------------------
// The name hash

TEST(NameHash, FoldsLettersAsTheVariantDoes)
{
    struct Row {
        std::string name;
        std::uint8_t flags;
        std::uint32_t block_size, slot;
    };
    const Row rows[] = {
        {"a", 0, 512, 6},
        {"A", 0, 512, 6},
        {"{|}~", 0, 512, 22},  // not letters: no folding
        {"startup-sequence", 0, 1024, 137},
        {"abcdefghijklmnopqrstuvwxyz0123", 0, 4096, 895},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", International, 4096, 895},
        // a Latin-1 small letter folds only on international and dircache volumes
        {"Caf\xE9", 0, 512, 35},
        {"Caf\xE9", International, 512, 3},
        {"Caf\xE9", DirCache, 512, 3},
        {"Caf\xE9", MultiUser | OldFormat, 512, 35},
        {"Caf\xC9", 0, 512, 3},
        {"Caf\xE9", International, 1024, 155},
        {"\xE0", International, 4096, 205},  // the first folded letter ...
        {"\xC0", 0, 4096, 205},
        {"\xFE", International, 2048, 235},  // ... the last one
        {"\xDE", 0, 2048, 235},
        {"\xFF", International, 2048, 268},  // past the range: kept
        {"\xF7", International, 512, 44},    // the division sign: kept
        {"\xD7", International, 512, 12},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.name << ", flags " << int(row.flags) << ", " << row.block_size);
        volume.variant = row.flags;
        volume.block_size = row.block_size;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(row.name.data());
        EXPECT_EQ(name_hash_slot(bytes, std::uint32_t(row.name.size())), row.slot);
    }
    volume.variant = 0;
}

// ---------------------------------------------------------------------------
// Every new message on one volume, at every block size and variant

const std::string date = "Tue Nov 14 22:13:20 2023 ";

// A listing line: `middle` is the size column of a file or the kind of a
// directory or link (11 columns), with the comment empty.
std::string line(std::uint32_t block, const std::string &name, const std::string &middle, bool file)
{
    char text[128];
    std::snprintf(text, sizeof text, "%10u %-30s %s%s%s\n", block, name.c_str(), middle.c_str(), date.c_str(),
                  file ? "" : " ");
    return text;
}

std::string size_column(std::uint32_t size)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10u ", size);
    return text;
}

std::string msg(const std::string &text) { return "vistrel: " + text + "\n"; }

std::string num(std::uint32_t n) { return std::to_string(n); }

// One entry of the root, in walk order: what -v and -vv print for it, and
// the blocks that its damage hides from the walk.
struct Expect {
    std::uint32_t slot;
    std::string v, vv;
    std::vector<std::uint32_t> hidden;
};

// The -vv trace of the data blocks in [from, to) of `file`.
std::string data_trace(const tv::Volume &v, std::uint32_t file, std::size_t from, std::size_t to)
{
    std::string out;
    for (std::size_t i = from; i < to; ++i)
        out += " [" + num(v.data_blocks(file).at(i)) + "]";
    return out;
}


TEST(PlaceAndExtension, EveryMessageAtEveryBlockSizeAndVariant)
{
    for (std::uint32_t B : {512u, 1024u, 2048u, 4096u}) {
        for (const e2e::Variant &variant : e2e::variants) {
            SCOPED_TRACE(testing::Message() << "block size " << B << ", DOS type " << std::hex << variant.dos_type);
            const bool folds = tv::dos_is_intl(variant.dos_type) || tv::dos_is_dircache(variant.dos_type);
            tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 12000, .dos_type = variant.dos_type});
            const std::uint32_t root = v.root(), slots = v.table_size();
            // a file of one extension block holding one data block
            const std::uint32_t long_size = v.payload() * (slots + 1);
            std::vector<Expect> entries;

            // a directory whose file names the root as its parent
            std::uint32_t dir = v.add_dir(root, "Dir");
            std::uint32_t moved = v.add_file(dir, "moved", 1);
            // an entry in a slot that its name does not hash to
            std::uint32_t lost_slot = (v.hash_slot("lost") + 1) % slots;
            std::uint32_t lost = v.add_file(root, "lost", 0, {.slot = lost_slot});
            // a Latin-1 name in the slot of the international hash: sound on
            // international and dircache volumes only
            std::uint32_t cafe_slot = tv::name_hash("Caf\xE9", slots, true);
            std::uint32_t cafe = v.add_file(root, "Caf\xE9", 0, {.slot = cafe_slot});
            // a link whose parent is some other block
            std::uint32_t link = v.add_softlink(root, "link", "Dir/moved");
            // five files whose extension block is damaged in one field each
            std::uint32_t key = v.add_file(root, "key", long_size);
            std::uint32_t parent = v.add_file(root, "parent", long_size);
            std::uint32_t sectype = v.add_file(root, "sectype", long_size);
            std::uint32_t sum = v.add_file(root, "sum", long_size);
            std::uint32_t type = v.add_file(root, "type", long_size);
            v.finish();

            v.put32(moved, tv::off::parent(B), root);
            v.reseal_header(moved);
            v.put32(link, tv::off::parent(B), 5);
            v.reseal_header(link);
            std::uint32_t key_ext = v.ext_blocks(key)[0], parent_ext = v.ext_blocks(parent)[0];
            std::uint32_t sectype_ext = v.ext_blocks(sectype)[0], sum_ext = v.ext_blocks(sum)[0];
            std::uint32_t type_ext = v.ext_blocks(type)[0];
            v.put32(key_ext, tv::off::header_key, 7);
            v.reseal_header(key_ext);
            v.put32(parent_ext, tv::off::parent(B), sum);
            v.reseal_header(parent_ext);
            v.put32(sectype_ext, tv::off::secondary_type(B), 2);
            v.reseal_header(sectype_ext);
            v.put32(sum_ext, tv::off::high_seq, 2);  // not resealed
            const std::uint32_t bad_sum = v.sum(sum_ext);
            v.put32(type_ext, tv::off::type, 0xFFFFFFF8);
            v.reseal_header(type_ext);

            const std::string moved_line = line(moved, "moved", size_column(1), true);
            const std::string moved_msg = msg("dir entry " + num(moved) + " has wrong parent (" + num(root) + ", " +
                                              num(dir) + ")");
            entries.push_back({v.hash_slot("Dir"), line(dir, "Dir", "     <DIR> ", false) + moved_msg + moved_line,
                               line(dir, "Dir", "     <DIR> ", false) + (tv::dos_is_dircache(variant.dos_type) ? "\n" : "") +
                                   moved_msg + moved_line + data_trace(v, moved, 0, 1) + "\n",
                               {}});
            const std::string lost_msg = msg("dir entry " + num(lost) + " is in hash slot " + num(lost_slot) +
                                             ", its name hashes to " + num(v.hash_slot("lost")));
            entries.push_back({lost_slot, lost_msg + line(lost, "lost", size_column(0), true),
                               lost_msg + line(lost, "lost", size_column(0), true) + "\n", {}});
            std::string cafe_msg;
            if (!folds)
                cafe_msg = msg("dir entry " + num(cafe) + " is in hash slot " + num(cafe_slot) +
                               ", its name hashes to " + num(tv::name_hash("Caf\xE9", slots, false)));
            entries.push_back({cafe_slot, cafe_msg + line(cafe, "Caf\xE9", size_column(0), true),
                               cafe_msg + line(cafe, "Caf\xE9", size_column(0), true) + "\n", {}});
            const std::string link_text =
                msg("dir entry " + num(link) + " has wrong parent (5, " + num(root) + ")") +
                line(link, "link", "<SOFTLINK> ", false);
            entries.push_back({v.hash_slot("link"), link_text, link_text, {}});

            // the files with an extension block: the message comes after
            // the header's traces, then the walk goes on or ends there
            struct Damaged {
                std::uint32_t file;
                const char *name;
                std::string message;
                bool ends;
            };
            const Damaged damaged[] = {
                {key, "key", "extended block " + num(key_ext) + " has wrong header key (7, " + num(key_ext) + ")",
                 false},
                {parent, "parent",
                 "extended block " + num(parent_ext) + " has wrong parent (" + num(sum) + ", " + num(parent) + ")",
                 false},
                {sectype, "sectype", "extended block " + num(sectype_ext) + " has invalid secondary type 2", false},
                {sum, "sum", "extended block " + num(sum_ext) + " has invalid checksum (" + [&] {
                     char hex[16];
                     std::snprintf(hex, sizeof hex, "%x", bad_sum);
                     return std::string(hex);
                 }() + ")",
                 true},
                {type, "type", "extended block " + num(type_ext) + " has invalid primary type -8", true},
            };
            for (const Damaged &d : damaged) {
                std::string head = line(d.file, d.name, size_column(long_size), true);
                std::string vv = head + data_trace(v, d.file, 0, slots) + msg(d.message);
                if (!d.ends)
                    vv += "\n [ext:" + num(v.ext_blocks(d.file)[0]) + "]" + data_trace(v, d.file, slots, slots + 1) +
                          "\n";
                std::vector<std::uint32_t> hidden;
                if (d.ends)
                    hidden = {v.ext_blocks(d.file)[0], v.data_blocks(d.file)[slots]};
                entries.push_back({v.hash_slot(d.name), head + msg(d.message), vv, hidden});
            }

            std::stable_sort(entries.begin(), entries.end(),
                             [](const Expect &a, const Expect &b) { return a.slot < b.slot; });
            std::string head = "root block found at " + num(root) + "\n" + variant.detected;
            std::string one = head, two = head;
            for (std::size_t i = 0; i < v.bitmap_blocks().size(); ++i)
                two += "read bitmap " + num(std::uint32_t(i)) + " : " + num(v.bitmap_blocks()[i]) + "\n";
            if (tv::dos_is_dircache(variant.dos_type))
                two += "\n";  // the root has no dircache block
            std::vector<std::uint32_t> hidden;
            for (const Expect &e : entries) {
                one += e.v;
                two += e.vv;
                hidden.insert(hidden.end(), e.hidden.begin(), e.hidden.end());
            }
            std::sort(hidden.begin(), hidden.end());
            two += "bitmap check:";
            for (std::uint32_t b : hidden)
                two += " {" + num(b) + "}";
            two += " \n";

            std::string image = e2e::temp_path("place.adf");
            v.write(image);
            e2e::Run run = e2e::vistrel({"-n", "-v", image});
            EXPECT_EQ(run.out, one);
            EXPECT_EQ(run.status, 0);
            run = e2e::vistrel({"-n", "-vv", image});
            EXPECT_EQ(run.out, two);
            EXPECT_EQ(run.status, 0);
        }
    }
}

// ---------------------------------------------------------------------------
// An extension block of random bytes

TEST(ExtensionDamage, RandomBytesEndTheFilesWalk)
{
    std::mt19937 random(16);
    for (std::uint32_t B : {512u, 1024u, 2048u, 4096u}) {
        for (bool resealed : {false, true}) {
            SCOPED_TRACE(testing::Message() << "block size " << B << (resealed ? ", resealed" : ""));
            tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 6000});
            const std::uint32_t slots = v.table_size();
            // three extension blocks: the walk ends at the first
            std::uint32_t file = v.add_file(v.root(), "f", v.payload() * (3 * slots + 1));
            std::uint32_t after = v.add_file(v.root(), "g", 1);
            v.finish();
            std::uint32_t ext = v.ext_blocks(file)[0];
            std::string bytes(B, '\0');
            for (char &c : bytes)
                c = char(random());
            if (resealed)
                bytes.replace(0, 4, "\x10\x20\x30\x40");  // a type that is not 16
            v.put_bytes(ext, 0, bytes);
            if (resealed)
                v.reseal_header(ext);
            std::string image = e2e::temp_path("random.adf");
            v.write(image);

            e2e::Run run = e2e::vistrel({"-n", "-vv", image});
            EXPECT_EQ(run.status, 0);
            std::string message;
            if (resealed) {
                message = "vistrel: extended block " + num(ext) + " has invalid primary type 270544960\n";
            } else {
                char text[96];
                std::snprintf(text, sizeof text, "vistrel: extended block %u has invalid checksum (%x)\n", ext,
                              v.sum(ext));
                message = text;
            }
            // the header's data blocks, then the message and nothing more for
            // the file: no closing newline, no pointer of the garbage marked
            std::string expected = line(file, "f", size_column(v.payload() * (3 * slots + 1)), true) +
                                   data_trace(v, file, 0, slots) + message;
            EXPECT_NE(run.out.find(expected + line(after, "g", size_column(1), true)), std::string::npos) << run.out;
            // every block behind the damage is in use on the volume, and no
            // block that the walk did not reach before is claimed
            std::vector<std::uint32_t> hidden(v.ext_blocks(file).begin(), v.ext_blocks(file).end());
            hidden.insert(hidden.end(), v.data_blocks(file).begin() + slots, v.data_blocks(file).end());
            std::sort(hidden.begin(), hidden.end());
            std::string differences = "bitmap check:";
            for (std::uint32_t b : hidden)
                differences += " {" + num(b) + "}";
            EXPECT_NE(run.out.find("\n" + differences + " \n"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("already allocated"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("can't allocate"), std::string::npos) << run.out;
        }
    }
}

// ---------------------------------------------------------------------------
// The count of damage that hides blocks, in the checker's own run

// Runs the check on `image` read-only in this process and returns its output;
// the session stays as the run left it.
std::string check_here(const std::string &image)
{
    std::free(volume.work_map);
    std::free(volume.disk_map);
    reset_walk_record();
    std::memset(&volume, 0, sizeof volume);
    volume.reserved_blocks = 2;
    volume.options = ReadOnly;
    reset_report();
    volume.fd = open(image.c_str(), O_RDONLY);
    EXPECT_GE(volume.fd, 0);
    off_t bytes = lseek(volume.fd, 0, SEEK_END);
    testing::internal::CaptureStdout();
    int status = check_volume(std::uint64_t(bytes) / 512);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    close(volume.fd);
    return out;
}

TEST(ExtensionDamage, CountedWhenItEndsTheWalk)
{
    struct Row {
        const char *name;
        std::uint32_t offset;  // of the damaged long
        std::uint32_t value;
        bool reseal;
        int tree_errors;
    };
    const Row rows[] = {
        {"checksum", tv::off::high_seq, 3, false, 1},
        {"primary type", tv::off::type, 2, true, 1},
        {"header key", tv::off::header_key, 0, true, 0},
        {"parent", 512 - 12, 0, true, 0},
        {"secondary type", 512 - 4, 0, true, 0},
        {"none", tv::off::type, tv::kTypeList, false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        tv::Volume v;
        std::uint32_t file = v.add_file(v.root(), "f", 512 * 73);
        v.finish();
        std::uint32_t ext = v.ext_blocks(file)[0];
        v.put32(ext, row.offset, row.value);
        if (row.reseal)
            v.reseal_header(ext);
        std::string image = e2e::temp_path("count.adf");
        v.write(image);
        std::string out = check_here(image);
        EXPECT_EQ(int(tallies().of(Effect::HidesBlocks)), row.tree_errors) << out;
        // a walk that ended left the extension block and its data block free
        EXPECT_EQ(block_is_used(ext) == 0, row.tree_errors != 0) << out;
        EXPECT_EQ(block_is_used(v.data_blocks(file)[72]) == 0, row.tree_errors != 0) << out;
    }
}

}  // namespace
