// genvol: writes a populated volume for the benchmarks, with the test-volume
// builder.
//
//   genvol [-b blocksize] [-t dostype] [-f files] [-p files-per-dir]
//          [-g dirs-per-group] [-S seed] [-l] [-w wrong-percent -W wrong-image] -o image
//
// The tree is three levels deep: the root holds group directories, each group
// holds directories, each directory holds up to files-per-dir files.  Sizes
// come from the seed: one file in a hundred is large enough for two file
// extension blocks, the others have 0 to 4 data blocks.
//
// Data blocks are never read by the checker and are holes in the image.  They
// are placed in the lower half of the volume, below the root block, and the
// headers, extension and dircache blocks in the upper half, behind the root
// and its bitmap blocks: the blocks that a check reads then lie close
// together, so a warm page cache holds them all and read-ahead brings in no
// zero pages of holes between them.  Each half is sized to what it needs plus
// a sixteenth.  With -l the lower half is laid out as a volume filled file by
// file: each directory's header, then each file's header, its data blocks and
// its extension blocks, one after the other; the blocks that a check reads
// then lie apart, as on a volume in use.  With -W, a second image is written in which wrong-percent of
// the volume's blocks have the wrong on-disk bitmap bit (the bitmap blocks
// stay sealed).
#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "volbuilder.h"

namespace {

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: genvol [-b blocksize] [-t dostype] [-f files] [-p files-per-dir] [-g dirs-per-group]\n"
                 "              [-S seed] [-l] [-w wrong-percent -W wrong-image] -o image\n");
    std::exit(2);
}

unsigned long long number(const char *s)
{
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (!*s || *end)
        usage();
    return v;
}

}  // namespace

int main(int argc, char **argv)
{
    tv::VolumeSetup setup;
    setup.name = "bench";
    std::uint64_t files = 1000, per_dir = 100, per_group = 100, seed = 1;
    double wrong_pct = 0;
    bool file_by_file = false;
    std::string out, wrong_out;
    for (int c; (c = getopt(argc, argv, "b:t:f:p:g:S:lw:W:o:")) != -1;) {
        switch (c) {
        case 'b': setup.block_size = std::uint32_t(number(optarg)); break;
        case 't': setup.dos_type = std::uint32_t(number(optarg)); break;
        case 'f': files = number(optarg); break;
        case 'p': per_dir = number(optarg); break;
        case 'g': per_group = number(optarg); break;
        case 'S': seed = number(optarg); break;
        case 'l': file_by_file = true; break;
        case 'w': wrong_pct = std::atof(optarg); break;
        case 'W': wrong_out = optarg; break;
        case 'o': out = optarg; break;
        default: usage();
        }
    }
    if (out.empty() || optind != argc || per_dir == 0 || per_group == 0)
        usage();
    const std::uint32_t B = setup.block_size;
    if (B != 512 && B != 1024 && B != 2048 && B != 4096)
        usage();

    try {
        auto t0 = std::chrono::steady_clock::now();
        const bool ofs = tv::dos_is_ofs(setup.dos_type), cache = tv::dos_is_dircache(setup.dos_type);
        const std::uint64_t payload = ofs ? B - 24 : B, slots = B / 4 - 56;

        // sizes first, so that the volume can be sized to the tree
        std::mt19937_64 rng(seed);
        std::vector<std::uint32_t> sizes(files);
        std::uint64_t data_need = 0, meta_need = 0;
        for (auto &size : sizes) {
            std::uint64_t r = rng();
            std::uint64_t blocks = r % 100 == 0 ? 2 * slots + 1 + (r >> 8) % slots : (r >> 8) % 5;
            std::uint64_t bytes = blocks == 0 ? (r >> 16) % 2 : blocks * payload - (r >> 24) % payload;
            size = std::uint32_t(bytes);
            std::uint64_t data = (bytes + payload - 1) / payload;
            data_need += data;
            meta_need += 1 + (data > slots ? (data - 1) / slots : 0);
        }
        std::uint64_t dirs = (files + per_dir - 1) / per_dir, groups = (dirs + per_group - 1) / per_group;
        meta_need += (dirs + groups) * (cache ? 2 : 1);
        if (file_by_file)
            data_need += meta_need;
        std::uint64_t half = std::max(data_need, meta_need);
        half += half / 16 + 4096;
        std::uint64_t total = 2 * half;  // the bitmap blocks fit in the margin
        if (total > 0xFFFFFFFFull)
            throw std::runtime_error("tree too large for one volume");
        setup.total_blocks = std::uint32_t(total);

        tv::Volume v(setup);
        std::uint32_t group = 0, dir = 0;
        std::uint64_t made_dirs = 0, made_groups = 0, ext = 0, data = 0;
        std::uint64_t next_data = v.reserved_blocks();
        char name[32];
        for (std::uint64_t i = 0; i < files; ++i) {
            if (i % per_dir == 0) {
                tv::Opts dir_opts;
                if (made_dirs % per_group == 0) {
                    std::snprintf(name, sizeof name, "g%04llu", static_cast<unsigned long long>(made_groups++));
                    if (file_by_file)
                        dir_opts.block = std::uint32_t(next_data++);
                    group = v.add_dir(v.root(), name, dir_opts);
                    if (cache)
                        v.add_dircache(group, 1);
                }
                std::snprintf(name, sizeof name, "d%06llu", static_cast<unsigned long long>(made_dirs++));
                if (file_by_file)
                    dir_opts.block = std::uint32_t(next_data++);
                dir = v.add_dir(group, name, dir_opts);
                if (cache)
                    v.add_dircache(dir, 1);
            }
            std::snprintf(name, sizeof name, "f%07llu", static_cast<unsigned long long>(i));
            // the file's data blocks: the next ones of the lower half
            tv::Opts o;
            std::uint64_t count = (std::uint64_t(sizes[i]) + payload - 1) / payload;
            if (file_by_file)
                o.block = std::uint32_t(next_data++);
            for (std::uint64_t k = 0; k < count; ++k) {
                // an extension block follows the data blocks that its
                // table leaves to it
                if (file_by_file && k >= slots && k % slots == 0)
                    o.ext.push_back(std::uint32_t(next_data++));
                o.data.push_back(std::uint32_t(next_data++));
            }
            std::uint32_t h = v.add_file(dir, name, sizes[i], o);
            ext += v.ext_blocks(h).size();
            data += v.data_blocks(h).size();
        }
        v.finish();
        v.write(out);
        std::printf("%s: %u blocks of %u, root %u, %llu files, %llu dirs, %llu groups, %llu file ext blocks, "
                    "%llu data blocks\n",
                    out.c_str(), v.total_blocks(), B, v.root(), static_cast<unsigned long long>(files),
                    static_cast<unsigned long long>(made_dirs), static_cast<unsigned long long>(made_groups),
                    static_cast<unsigned long long>(ext), static_cast<unsigned long long>(data));

        if (!wrong_out.empty()) {
            std::uint64_t span = v.total_blocks() - v.reserved_blocks();
            std::uint64_t target = std::uint64_t(wrong_pct / 100.0 * double(span) + 0.5), wrong = 0;
            std::mt19937_64 pick(seed + 1);
            for (std::uint64_t tries = 0; wrong < target && tries < 4 * target + 100; ++tries) {
                std::uint32_t b = std::uint32_t(v.reserved_blocks() + pick() % span);
                if (v.disk_used(b) != v.in_use(b))
                    continue;  // already wrong
                v.set_disk_bit(b, !v.in_use(b), false);
                ++wrong;
            }
            v.reseal_bitmaps();
            v.write(wrong_out);
            std::printf("%s: %llu wrong bitmap bits\n", wrong_out.c_str(), static_cast<unsigned long long>(wrong));
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("genvol: %.1f s\n", secs);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "genvol: %s\n", e.what());
        return 1;
    }
    return 0;
}
