// make_seeds OUTDIR: writes the seed corpus of both fuzz targets into
// OUTDIR/check_fuzzer and OUTDIR/format_fuzzer.
//
// Check seeds are volumes made with the test-volume builder, turned into the
// sparse description of fuzz_input.h: every DOS type at every block size with
// a populated tree (directories, files with extension chains, links, names
// and comments of every length, dircache chains), volumes large enough for
// bitmap extension chains, and the kinds of damage that the walk must
// survive (loops, bad pointers, unknown types, over-long names).  Format
// seeds are geometries around the limits: the smallest volumes, the bitmap
// block counts where extension blocks start, reserved and root numbers at
// the edges.
#include "fuzz_input.h"
#include "rdbbuilder.h"
#include "volbuilder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string out_dir;
int seed_count = 0;

void save(const std::string &target, const std::string &name, const std::vector<std::uint8_t> &bytes)
{
    std::string path = out_dir + "/" + target + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    ++seed_count;
}

// Adds the blocks of a built volume to `writer`, at byte `offset` of the
// image: the volume is written to a scratch file, and every stretch of data
// in it becomes records.  Returns its size in bytes.
std::uint64_t add_volume(fuzz_input::CheckInputWriter &writer, tv::Volume &v, std::uint64_t offset)
{
    std::string path = out_dir + "/.scratch.img";
    v.write(path);
    int fd = open(path.c_str(), O_RDONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        std::fprintf(stderr, "make_seeds: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    std::uint64_t size = std::uint64_t(status.st_size);
    std::vector<std::uint8_t> buffer(1 << 20);
    for (off_t at = 0; std::uint64_t(at) < size;) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = lseek(fd, data, SEEK_HOLE);
        for (off_t p = data; p < hole;) {
            ssize_t got = pread(fd, buffer.data(), std::min<std::size_t>(buffer.size(), std::size_t(hole - p)), p);
            if (got <= 0)
                break;
            writer.add_bytes(offset + std::uint64_t(p), buffer.data(), std::size_t(got));
            p += got;
        }
        at = hole;
    }
    close(fd);
    unlink(path.c_str());
    return size;
}

// The sparse description of a built volume.
std::vector<std::uint8_t> describe(tv::Volume &v, std::uint8_t options, std::uint8_t reserved = 0,
                                   std::uint32_t root = 0)
{
    fuzz_input::CheckInputWriter writer(options, reserved, root, 0);
    std::uint64_t size = add_volume(writer, v, 0);
    if (size / 512 > fuzz_input::max_check_sectors) {
        std::fprintf(stderr, "make_seeds: volume of %llu bytes too large for a seed\n", (unsigned long long)size);
        std::exit(1);
    }
    writer.set_sectors(size / 512);
    return writer.out;
}

constexpr std::uint32_t block_sizes[] = {512, 1024, 2048, 4096};
constexpr std::uint8_t verbose2 = 0x02, write_bitmap = 0x04, clear_flag = 0x08;

std::uint8_t forced_size(std::uint32_t B)
{
    return std::uint8_t((B == 512 ? 1 : B == 1024 ? 2 : B == 2048 ? 3 : 4) << 5);
}

// A tree with something of every kind in it.
void populate(tv::Volume &v, bool dircache)
{
    const std::uint32_t root = v.root(), slots = v.table_size(), payload = v.payload();
    uint32_t dir = v.add_dir(root, "directory");
    uint32_t sub = v.add_dir(dir, "sub", tv::Opts{.comment = "a comment on a directory"});
    v.add_file(root, "empty", 0);
    v.add_file(root, "one block", payload);
    uint32_t big = v.add_file(dir, "extension chain", payload * (2 * slots + 3), tv::Opts{.comment = "big"});
    v.add_file(sub, std::string(30, 'n'), payload + 1, tv::Opts{.comment = std::string(79, 'c')});
    v.add_softlink(root, "soft", "directory/sub");
    v.add_hardlink(root, "hard dir", sub);
    v.add_hardlink(sub, "hard file", big);
    // a chain of several entries in one hash slot
    for (int i = 0; i < 4; ++i)
        v.add_file(sub, "chained" + std::to_string(i), 10, tv::Opts{.slot = 0});
    if (dircache) {
        v.add_dircache(root, 2);
        v.add_dircache(dir, 1);
        v.add_dircache(sub, 3);
    }
}

// A disk with a partition table in sector 1: a volume of 512-byte blocks,
// one of 1024-byte blocks with 4 reserved blocks, and a PFS\3 partition.
std::vector<std::uint8_t> partitioned_disk(std::uint8_t options)
{
    rdb::Table t;
    t.rdsk_sector = 1, t.first_part = 2;
    rdb::Part a, b, c;
    a.high_cyl = 40;
    b.name = "DH1", b.sector_per_block = 2, b.reserved = 4, b.dos_type = tv::kDos0 + 3, b.low_cyl = 41;
    b.high_cyl = 80;
    c.name = "pfs", c.dos_type = rdb::kPfs3, c.low_cyl = 81, c.high_cyl = 82;
    t.parts = {a, b, c};
    fuzz_input::CheckInputWriter writer(options, 0, 0, c.end_byte() / 512);
    for (const auto &[at, bytes] : rdb::blocks(t))
        writer.add_bytes(at, bytes.data(), bytes.size());
    tv::Volume first(tv::VolumeSetup{.total_blocks = std::uint32_t((a.end_byte() - a.first_byte()) / 512)});
    populate(first, false);
    add_volume(writer, first, a.first_byte());
    tv::Volume second(tv::VolumeSetup{.block_size = 1024,
                                      .total_blocks = std::uint32_t((b.end_byte() - b.first_byte()) / 1024),
                                      .reserved_blocks = 4,
                                      .dos_type = tv::kDos0 + 3});
    populate(second, false);
    add_volume(writer, second, b.first_byte());
    return writer.out;
}

void check_seeds()
{
    const std::uint32_t dos_types[] = {
        tv::kDos0,     tv::kDos0 + 1, tv::kDos0 + 2, tv::kDos0 + 3, tv::kDos0 + 4, tv::kDos0 + 5, tv::kMuF0,
        tv::kMuF0 + 1, tv::kMuF0 + 2, tv::kMuF0 + 3, tv::kMuF0 + 4, tv::kMuF0 + 5, tv::kMuFS,
    };
    // every DOS type at every block size, populated
    for (std::uint32_t B : block_sizes) {
        for (std::uint32_t dos : dos_types) {
            tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 4000, .dos_type = dos, .name = "seed"});
            populate(v, tv::dos_is_dircache(dos));
            v.finish();
            char name[64];
            std::snprintf(name, sizeof name, "tree-%u-%08x", B, dos);
            save("check_fuzzer", name, describe(v, verbose2));
        }
    }

    // options on one volume: quiet, listing, write, clear, forced size, -b, -r
    for (std::uint32_t B : block_sizes) {
        tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 4000, .dos_type = tv::kDos0 + 5});
        populate(v, true);
        v.finish();
        v.set_disk_bit(v.root() + 100, true);  // one difference to report and repair
        const std::string base = "options-" + std::to_string(B) + "-";
        save("check_fuzzer", base + "quiet", describe(v, 0));
        save("check_fuzzer", base + "listing", describe(v, 0x01));
        save("check_fuzzer", base + "write", describe(v, verbose2 | write_bitmap));
        save("check_fuzzer", base + "clear", describe(v, clear_flag));
        save("check_fuzzer", base + "readonly-write", describe(v, verbose2 | write_bitmap | 0x10));
        save("check_fuzzer", base + "forced", describe(v, verbose2 | forced_size(B), 0, v.root()));
        save("check_fuzzer", base + "root-given", describe(v, verbose2, 0, v.root()));
    }

    // bitmap extension chains: one extension block, and a full one with a
    // second behind it
    for (std::uint32_t B : block_sizes) {
        const std::uint32_t bits = (B - 4) * 8, per = B / 4 - 1;
        for (std::uint32_t count : {26u, 25u + per + 1}) {
            std::uint32_t total = 2 + (count - 1) * bits + 1000;
            if (std::uint64_t(total) * (B / 512) > fuzz_input::max_check_sectors)
                continue;  // too large for the fuzzer's images
            tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = total, .dos_type = tv::kDos1});
            v.add_file(v.root(), "file", v.payload() * 3);
            v.finish();
            const std::string base = "bitmap-ext-" + std::to_string(B) + "-" + std::to_string(count);
            save("check_fuzzer", base, describe(v, verbose2 | write_bitmap));
            const std::uint32_t ext = v.bitmap_ext_blocks().front();
            v.put32(ext, 4 * (count - 25 > per ? per : count - 25), ext);  // the chain comes back
            save("check_fuzzer", base + "-loop", describe(v, verbose2 | write_bitmap));
            v.put32(ext, 4 * (count - 25 > per ? per : count - 25), total + 5);  // and leaves the volume
            save("check_fuzzer", base + "-outside", describe(v, verbose2));
            v.put32(v.root(), tv::off::bitmap_ext(B), 0);
            v.reseal_header(v.root());
            save("check_fuzzer", base + "-no-ext", describe(v, verbose2));
        }
    }

    // damage, at the smallest and the largest block size
    for (std::uint32_t B : {512u, 4096u}) {
        const std::string base = "damage-" + std::to_string(B) + "-";
        auto fresh = [B](bool dircache) {
            auto v = std::make_unique<tv::Volume>(
                tv::VolumeSetup{.block_size = B, .total_blocks = 3000, .dos_type = dircache ? tv::kDos0 + 5 : tv::kDos1});
            populate(*v, dircache);
            v->finish();
            return v;
        };
        {
            auto v = fresh(false);  // a hash chain that comes back to its head
            uint32_t last = v->lookup("directory/sub/chained3");
            v->put32(last, tv::off::next_hash(B), v->lookup("directory/sub/chained0"));
            v->reseal_header(last);
            save("check_fuzzer", base + "hash-loop", describe(*v, verbose2));
        }
        {
            auto v = fresh(false);  // a directory that holds its own ancestor
            uint32_t sub = v->lookup("directory/sub");
            v->put32(sub, tv::off::table_long(1), v->lookup("directory"));
            v->reseal_header(sub);
            save("check_fuzzer", base + "ancestor", describe(*v, verbose2));
        }
        {
            auto v = fresh(false);  // a file extension chain that loops back
            uint32_t big = v->lookup("directory/extension chain");
            const auto &ext = v->ext_blocks(big);
            v->put32(ext.back(), tv::off::extension(B), ext.front());
            save("check_fuzzer", base + "ext-loop", describe(*v, verbose2));
            v->put32(ext.back(), tv::off::extension(B), 0xFFFFFFF0u);
            save("check_fuzzer", base + "ext-outside", describe(*v, verbose2));
        }
        {
            auto v = fresh(true);  // a dircache chain that loops back
            const auto &cache = v->dircache_blocks(v->lookup("directory/sub"));
            v->put32(cache.back(), 16, cache.front());
            v->reseal_dircache(cache.back());
            save("check_fuzzer", base + "dircache-loop", describe(*v, verbose2));
        }
        {
            auto v = fresh(false);  // unknown secondary types, root type, bad type
            v->put32(v->lookup("empty"), tv::off::secondary_type(B), 5);
            v->reseal_header(v->lookup("empty"));
            v->put32(v->lookup("soft"), tv::off::secondary_type(B), 1);
            v->reseal_header(v->lookup("soft"));
            v->put32(v->lookup("one block"), tv::off::type, 7);
            v->reseal_header(v->lookup("one block"));
            v->put32(v->lookup("directory/sub/chained1"), tv::off::checksum, 1);
            save("check_fuzzer", base + "bad-types", describe(*v, verbose2));
        }
        {
            auto v = fresh(false);  // names and comments of 255 bytes, no NUL
            uint32_t f = v->lookup("one block");
            for (std::uint32_t o = tv::off::comment(B); o < B - 16; ++o)
                v->put8(f, o, 'x');
            v->put8(f, tv::off::comment_length(B), 255);
            v->put8(f, tv::off::name_length(B), 255);
            v->reseal_header(f);
            save("check_fuzzer", base + "long-texts", describe(*v, 0x01));
        }
        {
            auto v = fresh(false);  // bitmap pointers of 0 and past the end
            v->put32(v->root(), tv::off::bitmap_pages(B), 0);
            v->put32(v->root(), tv::off::bitmap_pages(B) + 4, 0xFFFFFFFFu);
            v->reseal_header(v->root());
            save("check_fuzzer", base + "bitmap-pointers", describe(*v, verbose2 | write_bitmap));
        }
        {
            auto v = fresh(false);  // data pointers of 0, reserved and past the end
            uint32_t f = v->lookup("one block");
            v->put32(f, tv::off::data_ptr(B, 0), 0);
            v->put32(f, tv::off::data_ptr(B, 1), 1);
            v->put32(f, tv::off::data_ptr(B, 2), 0xFFFFFFFFu);
            v->put32(f, tv::off::high_seq, 9);
            v->reseal_header(f);
            save("check_fuzzer", base + "data-pointers", describe(*v, verbose2));
        }
    }

    // deep and long: 300 levels of directories, 300 entries in one chain
    for (std::uint32_t B : {512u, 4096u}) {
        tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 2000, .dos_type = tv::kDos1});
        uint32_t dir = v.root();
        for (int i = 0; i < 300; ++i)
            dir = v.add_dir(dir, "d");
        v.add_file(dir, "bottom", 1);
        for (int i = 0; i < 300; ++i)
            v.add_file(v.root(), "e" + std::to_string(i), 0, tv::Opts{.slot = 3});
        v.finish();
        save("check_fuzzer", "deep-long-" + std::to_string(B), describe(v, 0x01));
    }
    save("check_fuzzer", "partitioned", partitioned_disk(verbose2));
    save("check_fuzzer", "partitioned-write", partitioned_disk(verbose2 | write_bitmap));
}

void format_seeds()
{
    using fuzz_input::FormatInput;
    for (std::uint32_t B : block_sizes) {
        const std::uint64_t bits = (B - 4) * 8, per = B / 4 - 1;
        const std::string base = "format-" + std::to_string(B) + "-";
        auto seed = [&](const std::string &name, std::uint64_t blocks, std::uint32_t reserved, std::uint64_t extra,
                        std::uint8_t variant = 0, bool root_given = false, std::int64_t root = 0) {
            FormatInput in;
            in.block_size = B;
            in.reserved = reserved;
            in.bytes = blocks * B + extra;
            in.ofs = variant & 1;
            in.intl = variant & 2;
            in.dircache = variant & 4;
            in.root_given = root_given;
            in.root = root;
            in.verbosity = 2;
            in.name = name.size() % 2 ? std::string(31, 'N') : "fuzz";
            save("format_fuzzer", base + name, fuzz_input::format_input_bytes(in));
        };
        seed("floppy", 1760, 2, 0);
        seed("floppy-partial", 1760, 2, 60, 5);
        seed("smallest", 4, 2, 0, 1);
        seed("too-small", 3, 2, 0, 2);
        seed("reserved-0", 100, 0, 0, 3);
        seed("reserved-1", 101, 1, 0, 4);
        seed("reserved-all", 100, 100, 0, 6);
        seed("25-bitmaps", 2 + 25 * bits, 2, 0, 7);
        seed("26-bitmaps", 2 + 25 * bits + 1, 2, 0);
        seed("two-ext", 2 + (25 + per) * bits + 1, 2, 0, 1);
        seed("root-first", 1760, 2, 0, 0, true, 2);
        seed("root-last", 1760, 2, 0, 0, true, 1759);
        seed("root-last-reserved-0", 1760, 0, 0, 0, true, 1759);
        seed("root-outside", 1760, 2, 0, 0, true, 1760);
        seed("root-negative", 1760, 2, 0, 0, true, -1);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    out_dir = argv[1];
    try {
        std::filesystem::create_directories(out_dir + "/check_fuzzer");
        std::filesystem::create_directories(out_dir + "/format_fuzzer");
        check_seeds();
        format_seeds();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
    std::printf("make_seeds: %d seeds in %s\n", seed_count, out_dir.c_str());
    return 0;
}
