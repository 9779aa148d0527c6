// mkvol: writes a populated test volume, for benchmarks and fuzz seeds.
//
//   mkvol [-b blocksize] [-n blocks] [-t dostype] [-f files] [-d files-per-dir]
//         [-s file-size] [-w wrong-bitmap-percent] [-c dircache-per-dir]
//         [-N volume-name] [-S seed] [-x extra-bytes] -o image
//
// Files are spread over directories of the root (or all lie in the root with
// -d 0). -w flips the on-disk bitmap bits of that percentage of the volume's
// blocks (chosen at random with the seed), keeping the bitmap blocks sealed.
// -c defaults to one dircache block per directory on dircache DOS types.
#include <getopt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>

#include "volbuilder.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: mkvol [-b blocksize] [-n blocks] [-t dostype] [-f files] [-d files-per-dir]\n"
                 "             [-s file-size] [-w wrong-bitmap-percent] [-c dircache-per-dir]\n"
                 "             [-N volume-name] [-S seed] [-x extra-bytes] -o image\n");
    std::exit(2);
}

unsigned long long number(const char* s) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (!*s || *end) usage();
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    tv::VolumeSetup setup;
    setup.name = "mkvol";
    uint64_t files = 0, per_dir = 0, file_size = 0, seed = 1;
    long long dircache = -1;
    double wrong_pct = 0;
    std::string out;
    for (int c; (c = getopt(argc, argv, "b:n:t:f:d:s:w:c:N:S:x:o:")) != -1;) {
        switch (c) {
            case 'b': setup.block_size = uint32_t(number(optarg)); break;
            case 'n': setup.total_blocks = uint32_t(number(optarg)); break;
            case 't': setup.dos_type = uint32_t(number(optarg)); break;
            case 'f': files = number(optarg); break;
            case 'd': per_dir = number(optarg); break;
            case 's': file_size = number(optarg); break;
            case 'w': wrong_pct = std::atof(optarg); break;
            case 'c': dircache = (long long)number(optarg); break;
            case 'N': setup.name = optarg; break;
            case 'S': seed = number(optarg); break;
            case 'x': setup.extra_bytes = number(optarg); break;
            case 'o': out = optarg; break;
            default: usage();
        }
    }
    if (out.empty() || optind != argc || file_size > 0xFFFFFFFFull) usage();
    if (dircache < 0) dircache = tv::dos_is_dircache(setup.dos_type) ? 1 : 0;

    try {
        auto t0 = std::chrono::steady_clock::now();
        tv::Volume v(setup);
        if (dircache) v.add_dircache(v.root(), uint32_t(dircache));
        uint32_t dir = v.root();
        uint64_t dirs = 0;
        char name[32];
        for (uint64_t i = 0; i < files; ++i) {
            if (per_dir && i % per_dir == 0) {
                std::snprintf(name, sizeof name, "d%06llu", (unsigned long long)dirs++);
                dir = v.add_dir(v.root(), name);
                if (dircache) v.add_dircache(dir, uint32_t(dircache));
            }
            std::snprintf(name, sizeof name, "f%08llu", (unsigned long long)i);
            v.add_file(dir, name, uint32_t(file_size));
        }
        v.finish();

        uint64_t wrong = 0, span = v.total_blocks() > v.reserved_blocks() ? v.total_blocks() - v.reserved_blocks() : 0;
        uint64_t target = uint64_t(wrong_pct / 100.0 * double(span) + 0.5);
        std::mt19937_64 rng(seed);
        for (uint64_t tries = 0; wrong < target && tries < 4 * target + 100; ++tries) {
            uint32_t b = uint32_t(v.reserved_blocks() + rng() % span);
            if (v.disk_used(b) != v.in_use(b)) continue;  // already wrong
            v.set_disk_bit(b, !v.in_use(b), false);
            ++wrong;
        }
        if (wrong) v.reseal_bitmaps();
        v.write(out);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%s: %u blocks of %u, root %u, %llu files in %llu dirs, %llu wrong bitmap bits, %.2f s\n",
                    out.c_str(), v.total_blocks(), v.block_size(), v.root(), (unsigned long long)files,
                    (unsigned long long)dirs, (unsigned long long)wrong, secs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkvol: %s\n", e.what());
        return 1;
    }
    return 0;
}
