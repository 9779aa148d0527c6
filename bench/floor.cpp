// floor: the least work that a run of the checker or the formatter can do.
//
// It performs the block transfers of the tool's run on a sound volume, in the
// same order, each with one positioned system call of the same size at the
// same offset, with the tool's flushes (fdatasync) between the steps of a run
// that writes, and does nothing else: no checksums, no allocation maps, no
// messages.  It finds the blocks by walking the structure itself, taking from
// each block only the pointers that lead to the next ones.
//
//   floor check  [-w] [--mapped] [--trace|--count|--written] IMAGE
//   floor format [-s BLOCKSIZE] [--trace|--count] IMAGE
//
// check   the checker's run (without -w: a read-only check; with -w: the bitmap
//         written back).  With -w the floor writes every bitmap block back with
//         the contents that it read, and the root block as it was read, so the
//         image stays as it was.
// format  the formatter's run with the default two reserved blocks and the
//         default root position; the blocks it writes do not form a volume.
// --mapped  reads copy each block from a shared mapping of the image file, as
//           the checker reads an image whose pages are in the page cache (the
//           floor of that way of reading; bench/run measures the pread one)
// --trace   print every transfer ("R|W offset size"), after the run
// --count   print "reads N writes M" after the run
// --written print the numbers of the blocks written (check -w), after the run
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "volume.h"

namespace {

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "floor: %s\n", what);
    std::exit(2);
}

// A growing array on malloc: the floor links the C library alone, so that it
// starts up no slower than the tools.
template <typename T> struct Array {
    T *data = nullptr;
    std::size_t size = 0, room = 0;
    void push(const T &value)
    {
        if (size == room) {
            room = room ? 2 * room : 64;
            data = static_cast<T *>(std::realloc(data, room * sizeof(T)));
            if (!data)
                die("out of memory");
        }
        data[size++] = value;
    }
    T &operator[](std::size_t i) { return data[i]; }
};

int fd = -1;
std::uint32_t B = 512, shift = 9;
std::uint64_t reads = 0, writes = 0;
bool tracing = false;
struct Transfer {
    char op;
    std::uint64_t offset;
    std::uint32_t size;
};
Array<Transfer> trace;

// the size in bytes of an image file or a block device
std::uint64_t device_bytes(const struct stat &st)
{
    std::uint64_t bytes = std::uint64_t(st.st_size);
    if (S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE64, &bytes) != 0)
        die("cannot size the block device");
    return bytes;
}

bool mapped_reads = false;
const std::uint8_t *mapped;  // the image, when mapped_reads
std::uint64_t mapped_length;

void get(std::uint8_t *buffer, std::uint64_t offset, std::uint32_t size)
{
    if (mapped) {
        if (offset > mapped_length || mapped_length - offset < size)
            die("read past the end");
        std::memcpy(buffer, mapped + offset, size);
    } else if (pread(fd, buffer, size, off_t(offset)) != ssize_t(size))
        die("read failed");
    ++reads;
    if (tracing)
        trace.push({'R', offset, size});
}

void put(const std::uint8_t *buffer, std::uint64_t offset, std::uint32_t size)
{
    if (pwrite(fd, buffer, size, off_t(offset)) != ssize_t(size))
        die("write failed");
    ++writes;
    if (tracing)
        trace.push({'W', offset, size});
}

// the flush between the steps of a run that writes, as the tools make it
void flush()
{
    if (fdatasync(fd) != 0)
        die("flush failed");
}

void read_block(std::uint8_t *buffer, std::uint32_t block) { get(buffer, std::uint64_t(block) << shift, B); }
void write_block(const std::uint8_t *buffer, std::uint32_t block) { put(buffer, std::uint64_t(block) << shift, B); }

// the field `distance` bytes before the end of a block of the image's size B
// (the library's get_tail takes the size from its session, which the floor has not)
std::uint32_t long_at_tail(const std::uint8_t *p, std::uint32_t distance) { return get_long(p, B - distance); }

std::uint32_t bitmap_count(std::uint64_t total)
{
    std::uint64_t bits = std::uint64_t(B - field::bitmap_map) * 8;
    return total <= 2 ? 0 : std::uint32_t((total - 2 + bits - 1) / bits);
}

// ---------------------------------------------------------------------------
// check

alignas(4) std::uint8_t root[4096];
Array<std::uint32_t> written;
Array<std::uint8_t *> bitmap_copy;  // with -w: the bitmap blocks as read
Array<std::uint32_t> bitmap_blocks;  // and where they lie
bool dircache = false, write_back = false;

void dircache_chain(std::uint32_t b)
{
    std::uint8_t buffer[4096];
    while (b != 0) {
        read_block(buffer, b);
        b = get_long(buffer, field::dircache_next);
    }
}

void load_bitmap(std::uint32_t count)
{
    std::uint8_t buffer[4096], ext[4096];
    auto take_block = [&](std::uint32_t b) {
        read_block(buffer, b);
        if (write_back) {
            auto *copy = static_cast<std::uint8_t *>(std::malloc(B));
            if (!copy)
                die("out of memory");
            std::memcpy(copy, buffer, B);
            bitmap_copy.push(copy);
            bitmap_blocks.push(b);
        }
    };
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i)
        take_block(long_at_tail(root, bitmap_page(i)));
    if (count <= root_bitmap_pages)
        return;
    std::uint32_t e = long_at_tail(root, field::bitmap_ext);
    std::uint32_t remaining = count - root_bitmap_pages, per = B / 4 - 1;
    while (e != 0) {
        read_block(ext, e);
        std::uint32_t take = remaining < per ? remaining : per;
        for (std::uint32_t j = 0; j < take; ++j)
            take_block(get_long(ext, 4 * j));
        remaining -= take;
        e = get_long(ext, 4 * take);
    }
}

// the bitmap blocks in the chain's order, as the load found them: the tool
// keeps the chain it walked and does not read it again
void store_bitmap()
{
    for (std::size_t i = 0; i < bitmap_blocks.size; ++i) {
        write_block(bitmap_copy[i], bitmap_blocks[i]);
        written.push(bitmap_blocks[i]);
    }
}

// Pre-order walk: hash slots in ascending order, each chain in order, every
// directory's dircache chain and subtree right after its header.
struct Level {
    const std::uint8_t *table;
    std::uint32_t slot, next;
};

void walk()
{
    std::uint32_t slots = B / 4 - header_longs;
    Array<Level> levels;
    Array<std::uint8_t *> buffers;
    levels.push({root + field::hash_table, 0, get_long(root, field::hash_table)});
    while (levels.size != 0) {
        std::size_t depth = levels.size - 1;
        Level &level = levels[depth];
        if (level.next == 0) {
            if (++level.slot >= slots)
                --levels.size;
            else
                level.next = get_long(level.table, 4 * level.slot);
            continue;
        }
        std::uint32_t a = level.next;
        level.next = 0;
        if (depth == buffers.size) {
            buffers.push(static_cast<std::uint8_t *>(std::malloc(B)));
            if (!buffers[depth])
                die("out of memory");
        }
        std::uint8_t *h = buffers[depth];
        read_block(h, a);
        switch (std::int32_t(long_at_tail(h, field::secondary_type))) {
        case Dir:
            if (dircache)
                dircache_chain(long_at_tail(h, field::extension));
            level.next = long_at_tail(h, field::next_hash);
            levels.push({h + field::hash_table, 0, get_long(h, field::hash_table)});
            break;
        case File:  // its extension chain, read over the header
            level.next = long_at_tail(h, field::next_hash);
            for (std::uint32_t e = long_at_tail(h, field::extension); e != 0; e = long_at_tail(h, field::extension))
                read_block(h, e);
            break;
        case SoftLink:
        case LinkDir:
        case FileLink:
            level.next = long_at_tail(h, field::next_hash);
            break;
        default: break;
        }
    }
}

// A writing run's look for a partition table, whose blocks it must not
// write: the first 16 sectors of the device, in one read.
void table_look(std::uint64_t bytes)
{
    std::uint8_t first[16 * 512];
    std::uint64_t span = bytes < sizeof first ? bytes / 512 * 512 : sizeof first;
    if (span != 0)
        get(first, 0, std::uint32_t(span));
}

void run_check(const char *path)
{
    fd = open(path, write_back ? O_RDWR : O_RDONLY);
    if (fd < 0)
        die("cannot open the image");
    struct stat st;
    if (fstat(fd, &st) != 0)
        die("cannot stat the image");
    std::uint64_t sectors = device_bytes(st) / 512;
    if (mapped_reads) {
        if (!S_ISREG(st.st_mode) || st.st_size <= 0)
            die("--mapped reads image files only");
        void *base = mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED | MAP_NORESERVE, fd, 0);
        if (base == MAP_FAILED)
            die("cannot map the image");
        mapped = static_cast<const std::uint8_t *>(base);
        mapped_length = std::uint64_t(st.st_size);
    }
    if (write_back)
        table_look(device_bytes(st));
    // the root block search: 512-byte sectors from the middle of the device
    std::uint32_t root_block = 0;
    std::uint64_t first = sectors / 2;
    for (std::uint64_t s = first; s < first + 8 && root_block == 0; ++s) {
        get(root, s * 512, 512);
        if (get_long(root, field::type) != header_type || get_long(root, field::header_key) != 0 ||
            get_long(root, field::high_seq) != 0 || get_long(root, field::first_data) != 0)
            continue;
        std::uint32_t size = (get_long(root, field::hash_table_size) + header_longs) * 4;
        if (size != 512 && size != 1024 && size != 2048 && size != 4096)
            continue;
        B = size;
        shift = size == 512 ? 9 : size == 1024 ? 10 : size == 2048 ? 11 : 12;
        root_block = std::uint32_t(s >> (shift - 9));
        if (shift != 9)
            get(root, std::uint64_t(root_block) << shift, B);
        if (long_at_tail(root, field::secondary_type) != Root)
            root_block = 0;
    }
    if (root_block == 0)
        die("no root block");
    std::uint64_t total = sectors >> (shift - 9);
    if (total > UINT32_MAX)
        total = UINT32_MAX;
    std::uint8_t boot[4096];
    get(boot, 0, B);
    std::uint32_t dos = get_long(boot, 0);
    dircache = (dos & 0xFF) == 4 || (dos & 0xFF) == 5;
    std::uint32_t count = bitmap_count(total);
    load_bitmap(count);
    if (dircache)
        dircache_chain(long_at_tail(root, field::extension));
    walk();
    if (write_back) {
        // the tool's three flushed steps: the root block marked not valid,
        // the bitmap blocks, the root block marked valid
        write_block(root, root_block);
        flush();
        store_bitmap();
        flush();
        write_block(root, root_block);
        flush();
        written.push(root_block);
    }
}

// ---------------------------------------------------------------------------
// format

void run_format(const char *path)
{
    fd = open(path, O_RDWR);
    if (fd < 0)
        die("cannot open the image");
    struct stat st;
    if (fstat(fd, &st) != 0)
        die("cannot stat the image");
    table_look(device_bytes(st));
    std::uint64_t total = device_bytes(st) >> shift;
    if (total > UINT32_MAX || total < 3)
        die("unsupported size");
    std::uint32_t root_block = std::uint32_t((total + 2 - 1) / 2);
    std::uint32_t count = bitmap_count(total);
    std::uint32_t per = B / 4 - 1;
    std::uint32_t next_free = root_block + 1;  // a fresh volume fills the blocks behind the root
    std::uint64_t needed = count + (count > root_bitmap_pages ? (count - root_bitmap_pages + per - 1) / per : 0);
    if (root_block + 1 + needed > total)
        die("bitmap does not fit behind the root");

    std::uint8_t ext[4096], bitmap[4096], block[4096];
    std::memset(bitmap, 0xFF, sizeof bitmap);
    std::memset(block, 0, sizeof block);
    next_free += count < root_bitmap_pages ? count : root_bitmap_pages;
    std::uint32_t first_ext = 0;
    if (count > root_bitmap_pages) {
        std::uint32_t e = first_ext = next_free++, remaining = count - root_bitmap_pages;
        for (;;) {
            std::memset(ext, 0, B);
            std::uint32_t take = remaining < per ? remaining : per;
            remaining -= take;
            for (std::uint32_t j = 0; j < take; ++j)
                put_long(ext, 4 * j, next_free++);
            if (remaining == 0) {
                write_block(ext, e);
                break;
            }
            std::uint32_t n = next_free++;
            put_long(ext, 4 * take, n);
            write_block(ext, e);
            e = n;
        }
    }
    // the root block marked not valid, flushed before the bitmap blocks
    write_block(block, root_block);
    flush();
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i)
        write_block(bitmap, root_block + 1 + i);
    if (count > root_bitmap_pages) {
        std::uint32_t e = first_ext, remaining = count - root_bitmap_pages;
        for (;;) {
            read_block(ext, e);
            std::uint32_t take = remaining < per ? remaining : per;
            for (std::uint32_t j = 0; j < take; ++j)
                write_block(bitmap, get_long(ext, 4 * j));
            if (per >= remaining)
                break;
            e = get_long(ext, 4 * take);
            remaining -= take;
        }
    }
    flush();
    write_block(block, root_block);
    get(block, 0, B);
    put(block, 0, B);
    flush();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        die("usage: floor check [-w] [--trace|--count|--written] IMAGE | floor format [-s SIZE] [--trace|--count] IMAGE");
    bool format = std::strcmp(argv[1], "format") == 0;
    if (!format && std::strcmp(argv[1], "check") != 0)
        die("the mode is check or format");
    bool count = false, list_written = false;
    const char *path = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-w") == 0)
            write_back = true;
        else if (std::strcmp(argv[i], "--trace") == 0)
            tracing = true;
        else if (std::strcmp(argv[i], "--mapped") == 0)
            mapped_reads = true;
        else if (std::strcmp(argv[i], "--count") == 0)
            count = true;
        else if (std::strcmp(argv[i], "--written") == 0)
            list_written = true;
        else if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            B = std::uint32_t(std::atoi(argv[++i]));
            shift = B == 512 ? 9 : B == 1024 ? 10 : B == 2048 ? 11 : B == 4096 ? 12 : 0;
            if (shift == 0)
                die("block size is 512, 1024, 2048 or 4096");
        } else
            path = argv[i];
    }
    if (!path)
        die("no image");
    if (format)
        run_format(path);
    else
        run_check(path);
    if (tracing)
        for (std::size_t i = 0; i < trace.size; ++i) {
            const Transfer &t = trace[i];
            std::printf("%c %llu %u\n", t.op, static_cast<unsigned long long>(t.offset), t.size);
        }
    if (count)
        std::printf("reads %llu writes %llu\n", static_cast<unsigned long long>(reads),
                    static_cast<unsigned long long>(writes));
    if (list_written)
        for (std::size_t i = 0; i < written.size; ++i)
            std::printf("%u %u\n", written[i], B);
    return 0;
}
