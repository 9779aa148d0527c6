// The copy-out.  The check's walk runs as for a check (its findings are the
// check's), and its reporter keeps every entry it lists with its depth.  Then
// the entries are written in the walk's order, which is the tree's order: a
// directory's entries follow it.  Two passes over the files: the first reads
// every file's block list and counts how often each block is claimed, the
// second writes the files.  A data block that two lists claim, that the walk
// took as a header, extension or cache block, or that the root or the bitmap
// holds, cannot be told to belong to a file: it is written as zeros and the
// file is partial.
//
// Everything is created through directory descriptors, with O_EXCL and
// O_NOFOLLOW, so that nothing a volume names is ever followed and nothing
// lies outside the directory.  Nothing is ever written to the volume.
#include "extract.h"

#include "internal.h"
#include "outcome.h"
#include "salvage.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {


// An entry the walk listed.
struct Record {
    std::uint32_t block;
    std::uint32_t depth;
    std::int32_t secondary;
};

// The reporter of the run: everything goes on to the check's reporter, and
// the entries are kept.
struct Collector final : Reporter {
    explicit Collector(Reporter &to) : inner(to)
    {
        wants_entries = true;
        wants_blocks = to.wants_blocks;
        wants_progress = to.wants_progress;
    }
    void problem(const Finding &finding) override { inner.problem(finding); }
    void entry(const Entry &entry) override
    {
        if (into)
            into->push_back({entry.block, entry.depth + depth_base, entry.secondary_type});
        if (inner.wants_entries)
            inner.entry(entry);
    }
    void blocks(const BlockNote &note) override { inner.blocks(note); }
    void data_blocks(const std::uint8_t *table, std::uint32_t count) override { inner.data_blocks(table, count); }
    void progress(std::uint64_t done, std::uint64_t total) override { inner.progress(done, total); }
    void note(Note note, const NoteData &data) override { inner.note(note, data); }
    void flush() override { inner.flush(); }

    Reporter &inner;
    std::vector<Record> *into = nullptr;
    std::uint32_t depth_base = 0;
};

// A file's block list as the first pass read it: its data blocks in file
// order (0 where a slot is empty), and how much of it is known.
struct FileList {
    std::size_t first = 0, count = 0;  // in the run's list of pointers
    std::uint64_t byte_size = 0;       // the header's
    std::uint64_t size = 0;            // the bytes written: capped at what the list can hold
    bool cut = false;                  // a bad extension block ended the list early
    bool excess = false;               // the list names blocks past the size: the size is in doubt
};

// A directory being written: its descriptor (-1 when it could not be made),
// its path from the extraction's root, and what it gets once its entries are.
struct OpenDir {
    int fd;
    std::string path;
    std::uint32_t block;
    timespec date;
    mode_t mode;
};

struct Settled {
    std::string path;
    timespec date;
    mode_t mode;
};

struct PendingLink {
    std::string dir_path;  // the link's directory
    std::string name;
    std::uint32_t depth;
    std::uint32_t block, target;
    std::int32_t secondary;
    timespec date;
};

struct Extraction {
    const ExtractOptions *options;
    ExtractResult *result;
    int root_fd = -1;
    std::size_t root_length = 0;  // of the directory's own path, for PATH_MAX
    std::string volume_name;
    std::vector<std::uint32_t> pointers;      // the lists of the first pass
    std::vector<std::uint8_t> claims;         // per block: claims by lists; 255 for the volume's own blocks
    std::unordered_map<std::uint32_t, FileList> lists;
    std::unordered_set<std::uint32_t> link_targets;
    std::unordered_map<std::uint32_t, std::string> written;  // header block -> path, for links and salvage
    std::vector<PendingLink> pending;
    std::vector<OpenDir> stack;
    std::vector<Settled> later;  // directories to settle at the end
    const char *origin = "tree";
    int status = 0;
};

Extraction *run;

// ---------------------------------------------------------------------------
// Text

void latin1_to_utf8(std::string &out, std::uint8_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    }
}

bool unsafe_byte(std::uint8_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == '/'; }

void put_escape(std::string &out, std::uint8_t c)
{
    static const char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
}

std::string utf8_of(const std::uint8_t *bytes, std::size_t length)
{
    std::string out;
    for (std::size_t i = 0; i < length; ++i)
        latin1_to_utf8(out, bytes[i]);
    return out;
}

std::string name_of(const std::uint8_t *header, bool &escaped)
{
    std::size_t length = header[tail(field::name_length)];
    if (length > name_room)
        length = name_room;
    return host_name(header + tail(field::name), length, escaped);
}

std::string comment_of(const std::uint8_t *header)
{
    std::size_t length = header[tail(field::comment_length)];
    if (length > 79)
        length = 79;
    const std::uint8_t *text = header + tail(field::comment);
    return utf8_of(text, strnlen(reinterpret_cast<const char *>(text), length));
}

// The Amiga keeps the wall-clock time: its date is taken as the local time
// of this machine.
timespec host_time(const std::uint8_t *header)
{
    AmigaDate date = get_date(header, field::date);
    std::int64_t seconds = std::int64_t(date.days) * 86400 + std::int64_t(date.minutes) * 60 + date.ticks / 50;
    std::time_t clock = std::time_t(std::int64_t(amiga_epoch) + seconds);
    std::tm broken;
    timespec result{0, 0};
    if (!gmtime_r(&clock, &broken))
        return result;
    broken.tm_isdst = -1;
    std::time_t local = mktime(&broken);
    result.tv_sec = local == std::time_t(-1) ? clock : local;
    result.tv_nsec = long(date.ticks % 50) * 20000000L;
    return result;
}

// The owner's r, w and x: the Amiga's R, W and E bits are set when the
// action is NOT allowed.
mode_t host_mode(const std::uint8_t *header)
{
    std::uint32_t bits = get_tail(header, field::protection);
    return ((bits & 8) ? 0 : 0400) | ((bits & 4) ? 0 : 0200) | ((bits & 2) ? 0 : 0100);
}

void say(const std::string &path, const std::string &text)
{
    if (!run->options->text)
        return;
    reporter().flush();
    std::printf("extract: %s: %s\n", path.c_str(), text.c_str());
}

ExtractedItem &add_item(const std::string &path, char kind, std::uint32_t block)
{
    static ExtractedItem scratch;
    if (!run->options->keep_items) {
        scratch = {};
        scratch.path = path;
        return scratch;
    }
    run->result->items.push_back({path, kind, block, 0, Verdict::Complete, {}, {}, {}, run->origin});
    return run->result->items.back();
}

// ---------------------------------------------------------------------------
// The first pass: block lists and claims

bool in_volume(std::uint32_t block) { return block >= volume.reserved_blocks && block < volume.total_blocks; }

void claim(std::uint32_t block)
{
    if (in_volume(block) && run->claims[block] < 254)
        run->claims[block] += 1;
}

void read_list(std::uint32_t header_block, const std::uint8_t *header)
{
    FileList list;
    list.first = run->pointers.size();
    list.byte_size = get_tail(header, field::byte_size);
    std::uint64_t per_block = volume.data_bytes_per_block;
    std::uint64_t needed = (list.byte_size + per_block - 1) / per_block;
    if (needed > volume.total_blocks)
        needed = volume.total_blocks;
    alignas(4) std::uint8_t buffer[max_block_size];
    std::memcpy(buffer, header, volume.block_size);
    std::uint32_t slots = hash_slots();
    std::vector<std::uint32_t> seen;
    std::uint64_t last_used = 0;  // positions up to the last block named
    for (;;) {
        std::uint32_t taken = 0;
        for (std::uint32_t i = 0; i < slots && list.count < needed; ++i, ++taken) {
            std::uint32_t b = table_entry(buffer, slots - 1 - i);
            run->pointers.push_back(b);
            list.count += 1;
            if (b != 0)
                last_used = list.count;
        }
        if (list.count >= needed) {
            // the slots before the last one used, and the extension pointer, are 0
            list.excess = !all_zero(buffer + field::hash_table, 4 * (slots - taken)) ||
                          get_tail(buffer, field::extension) != 0;
            break;
        }
        std::uint32_t e = get_tail(buffer, field::extension);
        if (e == 0)
            break;
        bool looped = false;
        for (std::uint32_t s : seen)
            looped = looped || s == e;
        if (!in_volume(e) || looped || e == header_block || read_block(buffer, e) != 0 ||
            block_checksum(buffer) != 0 || get_long(buffer, field::type) != extension_type) {
            list.cut = true;
            break;
        }
        seen.push_back(e);
        run->claims[e] = 255;
    }
    if (list.cut || list.count >= needed)
        list.size = std::min<std::uint64_t>(list.byte_size, needed * per_block);
    else  // the list ends before the size: what its blocks hold
        list.size = std::min<std::uint64_t>(list.byte_size, last_used * per_block);
    for (std::size_t k = 0; k < list.count; ++k)
        claim(run->pointers[list.first + k]);
    run->lists[header_block] = list;
}

// Reads every header of `records` for the block lists of its files and the
// targets of its hard links.
void first_pass(const std::vector<Record> &records)
{
    alignas(4) std::uint8_t header[max_block_size];
    for (const Record &r : records)
        if (in_volume(r.block))
            run->claims[r.block] = 255;
    for (const Record &r : records) {
        if (r.secondary != File && r.secondary != FileLink && r.secondary != LinkDir)
            continue;
        if (read_block(header, r.block) != 0)
            continue;
        if (r.secondary == File)
            read_list(r.block, header);
        else
            run->link_targets.insert(get_tail(header, field::real_entry));
    }
}

// ---------------------------------------------------------------------------
// Writing

// Creates the item named `name` in `dir` with `make` (which takes a name and
// gives -1 with errno); a name already taken (two entries of one name on a
// damaged volume, or a salvaged one) gets "~BLOCK" appended.  The name used.
template <class Make> std::string create_unique(const std::string &name, std::uint32_t block, Make make, int &result)
{
    result = make(name.c_str());
    if (result >= 0 || errno != EEXIST)
        return name;
    std::string other = name + "~" + std::to_string(block);
    result = make(other.c_str());
    return other;
}

std::string join(const std::string &dir, const std::string &name) { return dir.empty() ? name : dir + "/" + name; }

void note_path_length(const std::string &path)
{
    if (run->root_length + 1 + path.size() >= PATH_MAX)
        say(path, "path longer than PATH_MAX (" + std::to_string(PATH_MAX) + " bytes), written all the same");
}

// Opens the directory at `path` from the root, one part at a time, never
// following a link.
int open_path(const std::string &path)
{
    int fd = dup(run->root_fd);
    std::size_t at = 0;
    while (fd >= 0 && at < path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
        at = end + 1;
    }
    return fd;
}

void add_range(std::string &ranges, std::uint64_t from, std::uint64_t to, std::uint64_t &last_end)
{
    if (!ranges.empty() && from == last_end) {
        // extends the last range
        std::size_t dash = ranges.rfind('-');
        ranges.resize(dash + 1);
    } else {
        if (!ranges.empty())
            ranges += ',';
        ranges += std::to_string(from) + "-";
    }
    ranges += std::to_string(to - 1);
    last_end = to;
}

// A data block of the list: true with its bytes in `data` when it can be
// taken for block `k` of the file of header `header_block`.
bool take_data(std::uint32_t b, std::uint64_t k, std::uint32_t header_block, std::uint64_t byte_size,
               std::uint8_t *buffer, const std::uint8_t *&data, std::uint32_t &length)
{
    if (!in_volume(b) || run->claims[b] > 1)
        return false;
    if (read_block(buffer, b) != 0)
        return false;
    // a sound header, extension or cache block that the walk took
    if (block_walked(b) && block_checksum(buffer) == 0) {
        std::uint32_t type = get_long(buffer, field::type);
        if (type == header_type || type == extension_type || type == dircache_type)
            return false;
    }
    std::uint64_t per_block = volume.data_bytes_per_block;
    std::uint64_t expected = std::min<std::uint64_t>(per_block, byte_size - k * per_block);
    if (volume.variant & OldFormat) {
        if (get_long(buffer, field::type) != data_type || block_checksum(buffer) != 0 ||
            get_long(buffer, field::header_key) != header_block || get_long(buffer, field::data_sequence) != k + 1 ||
            get_long(buffer, field::data_size) != expected)
            return false;
        data = buffer + field::data_bytes;
    } else {
        data = buffer;
    }
    length = std::uint32_t(expected);
    return true;
}

void count_verdict(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Complete: run->result->complete += 1; break;
    case Verdict::Partial: run->result->partial += 1; break;
    case Verdict::Lost: run->result->lost += 1; break;
    }
    if (verdict != Verdict::Complete)
        run->status = 1;
}

// Writes the file's bytes into `fd`; the verdict and the missing ranges.
Verdict write_contents(int fd, std::uint32_t header_block, const FileList &list, std::string &missing,
                       std::string &failure)
{
    std::uint64_t per_block = volume.data_bytes_per_block;
    std::uint64_t blocks = (list.size + per_block - 1) / per_block;
    alignas(4) std::uint8_t buffer[max_block_size];
    std::vector<std::uint8_t> out;
    out.reserve(1 << 16);
    std::uint64_t recovered = 0, last_end = 0;
    bool failed = false;
    // OFS: the last data block within the size holds the size's remainder
    // and names no next block, so the size is the file's own and blocks that
    // the list names past it do not put it in doubt
    bool size_confirmed = false;
    auto drain = [&] {
        std::size_t done = 0;
        while (done < out.size()) {
            ssize_t n = write(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (!failed)
                    failure = std::strerror(n < 0 ? errno : ENOSPC);
                failed = true;
                break;
            }
            done += std::size_t(n);
        }
        out.clear();
    };
    for (std::uint64_t k = 0; k < blocks; ++k) {
        std::uint64_t from = k * per_block;
        std::uint64_t length = std::min<std::uint64_t>(per_block, list.size - from);
        std::uint32_t b = k < list.count ? run->pointers[list.first + k] : 0;
        const std::uint8_t *data = nullptr;
        std::uint32_t have = 0;
        if (b != 0 && take_data(b, k, header_block, list.byte_size, buffer, data, have) && have >= length) {
            out.insert(out.end(), data, data + length);
            recovered += length;
            if (k + 1 == blocks && (volume.variant & OldFormat) && get_long(buffer, field::data_next) == 0)
                size_confirmed = true;
        } else {
            out.insert(out.end(), std::size_t(length), 0);
            add_range(missing, from, from + length, last_end);
        }
        if (out.size() >= (1 << 16))
            drain();
    }
    drain();
    run->result->bytes += list.size;
    if (list.size < list.byte_size)
        add_range(missing, list.size, list.byte_size, last_end);
    if (failed)
        return recovered == 0 ? Verdict::Lost : Verdict::Partial;
    if (missing.empty())
        return list.excess && !size_confirmed ? Verdict::Partial : Verdict::Complete;
    return recovered == 0 ? Verdict::Lost : Verdict::Partial;
}

void set_comment(int fd, const std::string &comment)
{
    if (!comment.empty())
        fsetxattr(fd, "user.comment", comment.data(), comment.size(), 0);  // where the filesystem takes one
}

void write_file(int dir, const std::string &dir_path, const std::string &wanted, std::uint32_t block,
                const std::uint8_t *header, ExtractedItem &item)
{
    int fd = -1;
    std::string name = create_unique(wanted, block, [&](const char *n) {
        return openat(dir, n, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }, fd);
    item.path = join(dir_path, name);
    if (name != wanted)
        item.note += (item.note.empty() ? "" : "; ") + std::string("name taken, written as ") + name;
    auto found = run->lists.find(block);
    FileList list = found != run->lists.end() ? found->second : FileList{};
    if (found == run->lists.end())
        list.byte_size = list.size = get_tail(header, field::byte_size);
    item.size = list.byte_size;
    std::string failure;
    if (fd < 0) {
        failure = std::strerror(errno);
        item.verdict = Verdict::Lost;
    } else {
        item.verdict = write_contents(fd, block, list, item.missing, failure);
        set_comment(fd, item.comment);
        timespec times[2] = {host_time(header), host_time(header)};
        futimens(fd, times);
        fchmod(fd, host_mode(header));
        close(fd);
    }
    count_verdict(item.verdict);
    if (run->link_targets.count(block) || run->options->salvage != Salvage::None)
        run->written[block] = item.path;
    note_path_length(item.path);
    if (item.verdict == Verdict::Partial && item.missing.empty())
        say(item.path, "partial: its list names blocks past its size, which may be wrong");
    else if (item.verdict == Verdict::Partial)
        say(item.path, "partial, bytes " + item.missing + " missing");
    else if (item.verdict == Verdict::Lost)
        say(item.path, "lost" + (failure.empty() ? std::string() : " (" + failure + ")"));
    else if (!failure.empty())
        say(item.path, failure);
}

// A directory whose entries are written gets its date and mode.  Until the
// run ends it keeps the owner's rwx, so that salvaged entries and links can
// still be written into it; those that need it get their mode, and their
// date once more, at the end (settle_directories).
void finish_dir(OpenDir &dir)
{
    if (dir.fd < 0)
        return;
    timespec times[2] = {dir.date, dir.date};
    futimens(dir.fd, times);
    fchmod(dir.fd, dir.mode | 0700);
    close(dir.fd);
    if ((dir.mode & 0700) != 0700 || run->options->salvage != Salvage::None || !run->pending.empty())
        run->later.push_back({dir.path, dir.date, dir.mode});
}

// the directories' last dates and modes, the innermost first
void settle_directories()
{
    for (const Settled &dir : run->later) {
        std::size_t slash = dir.path.rfind('/');
        std::string parent = slash == std::string::npos ? "" : dir.path.substr(0, slash);
        std::string name = slash == std::string::npos ? dir.path : dir.path.substr(slash + 1);
        int above = open_path(parent);
        int fd = above < 0 ? -1 : openat(above, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            timespec times[2] = {dir.date, dir.date};
            futimens(fd, times);
            fchmod(fd, dir.mode);
            close(fd);
        }
        if (above >= 0)
            close(above);
    }
}

// the directories deeper than `depth` are done
void close_to(std::size_t depth)
{
    while (run->stack.size() > depth + 1) {
        finish_dir(run->stack.back());
        run->stack.pop_back();
    }
}

std::string up_to_root(std::uint32_t depth)
{
    std::string up;
    for (std::uint32_t i = 0; i < depth; ++i)
        up += "../";
    return up;
}

// A hard link: linked to what its target was written as; a file not written
// yet is copied; a directory becomes a soft link to where it was written.
bool make_link(int dir, const PendingLink &link, ExtractedItem &item)
{
    auto found = run->written.find(link.target);
    if (found == run->written.end())
        return false;
    int result = -1;
    std::string name;
    if (link.secondary == LinkDir) {
        std::string to = up_to_root(link.depth) + found->second;
        name = create_unique(link.name, link.block, [&](const char *n) { return symlinkat(to.c_str(), dir, n); },
                             result);
    } else {
        std::size_t slash = found->second.rfind('/');
        std::string target_dir = slash == std::string::npos ? "" : found->second.substr(0, slash);
        std::string target_name = slash == std::string::npos ? found->second : found->second.substr(slash + 1);
        int from = open_path(target_dir);
        name = create_unique(link.name, link.block, [&](const char *n) {
            return from < 0 ? -1 : linkat(from, target_name.c_str(), dir, n, 0);
        }, result);
        if (from >= 0)
            close(from);
        if (result < 0)
            return false;  // copied instead
    }
    item.path = join(link.dir_path, name);
    if (result < 0) {
        say(item.path, std::string("link not made (") + std::strerror(errno) + ")");
        run->status = 1;
        return true;
    }
    if (link.secondary == LinkDir) {
        timespec times[2] = {link.date, link.date};
        utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    run->result->links += 1;
    return true;
}

// A hard link whose target is no file written: the target's contents, read
// from its header, as a file of the link's name.
void copy_link(int dir, const PendingLink &link, ExtractedItem &item)
{
    alignas(4) std::uint8_t header[max_block_size];
    item.kind = 'f';
    if (link.secondary != FileLink || !in_volume(link.target) || read_block(header, link.target) != 0 ||
        block_checksum(header) != 0 || get_long(header, field::type) != header_type ||
        std::int32_t(get_tail(header, field::secondary_type)) != File) {
        item.path = join(link.dir_path, link.name);
        item.verdict = Verdict::Lost;
        count_verdict(Verdict::Lost);
        say(item.path, "lost (the link's target " + std::to_string(link.target) + " is no file)");
        return;
    }
    if (!run->lists.count(link.target))
        read_list(link.target, header);
    item.comment = comment_of(header);
    write_file(dir, link.dir_path, link.name, link.target, header, item);
}

void take_link(int dir, const PendingLink &link, ExtractedItem &item)
{
    if (make_link(dir, link, item))
        return;
    if (link.secondary == LinkDir) {
        // a directory that was not written has nothing to copy
        item.path = join(link.dir_path, link.name);
        say(item.path, "link not made (its directory, block " + std::to_string(link.target) + ", was not written)");
        run->status = 1;
        return;
    }
    copy_link(dir, link, item);
}

// The second pass: the entries of `records`, written under the stack's
// directories (the entries' depths count from the stack's bottom).
void second_pass(const std::vector<Record> &records)
{
    alignas(4) std::uint8_t header[max_block_size];
    std::uint64_t done = 0;
    for (const Record &r : records) {
        ++done;
        if (reporter().wants_progress)
            reporter().progress(done, records.size());
        close_to(r.depth);
        if (run->stack.size() < r.depth + 1)
            continue;  // inside a directory that was not read
        OpenDir &parent = run->stack[r.depth];
        if (read_block(header, r.block) != 0)
            continue;
        bool escaped = false;
        std::string name = name_of(header, escaped);
        char kind = r.secondary == Dir ? 'd' : r.secondary == File ? 'f' : r.secondary == SoftLink ? 's' : 'h';
        ExtractedItem &item = add_item(join(parent.path, name), kind, r.block);
        item.comment = comment_of(header);
        if (parent.fd < 0) {
            if (r.secondary == File) {
                item.verdict = Verdict::Lost;
                item.size = get_tail(header, field::byte_size);
                count_verdict(Verdict::Lost);
                say(item.path, "lost (its directory could not be made)");
            }
            if (r.secondary == Dir)
                run->stack.push_back({-1, item.path, r.block, {}, 0});
            continue;
        }
        if (escaped) {
            run->result->escaped += 1;
            item.note = "name escaped";
        }
        switch (r.secondary) {
        case Dir: {
            int made = -1;
            std::string used = create_unique(name, r.block, [&](const char *n) { return mkdirat(parent.fd, n, 0700); },
                                             made);
            item.path = join(parent.path, used);
            int fd = made < 0 ? -1 : openat(parent.fd, used.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                say(item.path, std::string("directory not made (") + std::strerror(errno) + ")");
                run->status = 1;
            } else {
                run->result->directories += 1;
                set_comment(fd, item.comment);
                if (used != name)
                    item.note += (item.note.empty() ? "" : "; ") + std::string("name taken, written as ") + used;
            }
            if (run->options->salvage != Salvage::None || run->link_targets.count(r.block))
                run->written[r.block] = item.path;
            note_path_length(item.path);
            run->stack.push_back({fd, item.path, r.block, host_time(header), host_mode(header)});
            break;
        }
        case File: write_file(parent.fd, parent.path, name, r.block, header, item); break;
        case SoftLink: {
            std::size_t room = volume.block_size - 224;
            const char *text = reinterpret_cast<const char *>(header + field::hash_table);
            std::string amiga(text, strnlen(text, room));
            bool clamped = false;
            std::string to = link_target(amiga, r.depth, run->volume_name, clamped);
            int made = -1;
            std::string used =
                create_unique(name, r.block, [&](const char *n) { return symlinkat(to.c_str(), parent.fd, n); }, made);
            item.path = join(parent.path, used);
            if (made < 0) {
                say(item.path, std::string("link not made (") + std::strerror(errno) + ")");
                run->status = 1;
                break;
            }
            timespec times[2] = {host_time(header), host_time(header)};
            utimensat(parent.fd, used.c_str(), times, AT_SYMLINK_NOFOLLOW);
            run->result->links += 1;
            if (clamped)
                say(item.path, "link target climbs above the volume's root: cut at the root");
            break;
        }
        case FileLink:
        case LinkDir: {
            PendingLink link{parent.path, name, r.depth, r.block, get_tail(header, field::real_entry), r.secondary,
                             host_time(header)};
            if (run->written.count(link.target))
                take_link(parent.fd, link, item);
            else
                run->pending.push_back(link);
            break;
        }
        default: break;
        }
        if (escaped)
            say(item.path, "name escaped");
        if (volume.verbosity >= 1 && !item.comment.empty())
            say(item.path, "comment: " + item.comment);
    }
}

// The links whose targets came later in the walk.
void pending_links()
{
    std::vector<PendingLink> links;
    links.swap(run->pending);
    for (const PendingLink &link : links) {
        int dir = open_path(link.dir_path);
        ExtractedItem &item = add_item(join(link.dir_path, link.name), 'h', link.block);
        if (dir < 0) {
            say(item.path, "link not made (its directory could not be opened)");
            run->status = 1;
            continue;
        }
        take_link(dir, link, item);
        close(dir);
    }
}

// ---------------------------------------------------------------------------
// Salvage

int lost_and_found(const char *name, std::string &path, int &fd)
{
    if (fd >= 0)
        return 0;
    int made = -1;
    path = create_unique(name, 0, [&](const char *n) { return mkdirat(run->root_fd, n, 0700); }, made);
    fd = made < 0 ? -1 : openat(run->root_fd, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? 1 : 0;
}

std::string block_name(const LostHeader &lost)
{
    bool escaped = false;
    std::string name = host_name(reinterpret_cast<const std::uint8_t *>(lost.name.data()), lost.name.size(), escaped);
    return std::to_string(lost.block) + "." + name;
}

// One salvaged entry and, for a directory, its subtree: written into the
// directory `dir` at `dir_path` under `name`.
void salvage_one(Collector &collector, const LostHeader &lost, int dir, const std::string &dir_path,
                 const std::string &name)
{
    alignas(4) std::uint8_t header[max_block_size];
    if (read_block(header, lost.block) != 0)
        return;
    mark_walked(lost.block);
    std::vector<Record> records;
    if (lost.secondary_type == Dir) {
        collector.into = &records;
        collector.depth_base = 1;
        check_directory(header + field::hash_table, lost.block);
        collector.into = nullptr;
    }
    records.insert(records.begin(), Record{lost.block, 0, lost.secondary_type});
    first_pass(records);
    // a stack of its own, from `dir` (the caller's, which stays open)
    std::vector<OpenDir> outer;
    outer.swap(run->stack);
    run->stack.push_back({dir, dir_path, 0, {}, 0});
    // the entry itself, under the name it is salvaged as
    {
        ExtractedItem &item = add_item(join(dir_path, name), lost.secondary_type == Dir ? 'd' : 'f', lost.block);
        item.comment = comment_of(header);
        item.note = std::string("salvaged from block ") + std::to_string(lost.block);
        if (lost.secondary_type == File) {
            write_file(dir, dir_path, name, lost.block, header, item);
        } else {
            int made = -1;
            std::string used = create_unique(name, lost.block, [&](const char *n) { return mkdirat(dir, n, 0700); },
                                             made);
            item.path = join(dir_path, used);
            int fd = made < 0 ? -1 : openat(dir, used.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                run->result->directories += 1;
                set_comment(fd, item.comment);
            }
            run->written[lost.block] = item.path;
            run->stack.push_back({fd, item.path, lost.block, host_time(header), host_mode(header)});
        }
        say(item.path, std::string(lost.in_use ? "salvaged lost entry" : "salvaged deleted entry") + " of block " +
                           std::to_string(lost.block) +
                           (lost.in_use ? "" : " (its blocks may have been used again since)"));
    }
    records.erase(records.begin());
    second_pass(records);
    close_to(0);
    run->stack.swap(outer);
    (lost.in_use ? run->result->salvaged : run->result->deleted) += 1;
}

void salvage(Collector &collector)
{
    std::vector<LostHeader> found = find_lost_headers();
    std::unordered_set<std::uint32_t> lost_dirs;
    for (const LostHeader &h : found)
        if (h.in_use && h.secondary_type == Dir)
            lost_dirs.insert(h.block);
    std::string found_path;
    int found_fd = -1;
    // the tops of the lost subtrees first, then whatever is left (a loop of parents)
    for (int round = 0; round < 2; ++round) {
        for (const LostHeader &h : found) {
            if (!h.in_use || block_walked(h.block))
                continue;
            if (round == 0 && lost_dirs.count(h.parent) && h.parent != h.block)
                continue;
            run->origin = "lost";
            auto parent = round == 0 ? run->written.find(h.parent) : run->written.end();
            if (parent != run->written.end() && h.parent != volume.root_block) {
                int dir = open_path(parent->second);
                if (dir >= 0) {
                    bool escaped = false;
                    std::string name =
                        host_name(reinterpret_cast<const std::uint8_t *>(h.name.data()), h.name.size(), escaped);
                    salvage_one(collector, h, dir, parent->second, name);
                    close(dir);
                    continue;
                }
            }
            if (h.parent == volume.root_block && round == 0) {
                bool escaped = false;
                std::string name =
                    host_name(reinterpret_cast<const std::uint8_t *>(h.name.data()), h.name.size(), escaped);
                salvage_one(collector, h, run->root_fd, "", name);
                continue;
            }
            if (lost_and_found("lost+found", found_path, found_fd) == 0)
                salvage_one(collector, h, found_fd, found_path, block_name(h));
        }
    }
    if (found_fd >= 0)
        close(found_fd);
    if (run->options->salvage != Salvage::Deleted)
        return;
    std::string deleted_path;
    int deleted_fd = -1;
    run->origin = "deleted";
    for (const LostHeader &h : found) {
        if (h.in_use || block_walked(h.block))
            continue;
        if (lost_and_found("deleted", deleted_path, deleted_fd) != 0)
            break;
        LostHeader alone = h;
        if (alone.secondary_type == Dir) {
            // a directory is deleted once it is empty: it is written empty
            alignas(4) std::uint8_t header[max_block_size];
            if (read_block(header, h.block) != 0)
                continue;
            mark_walked(h.block);
            std::string name = block_name(h);
            ExtractedItem &item = add_item(join(deleted_path, name), 'd', h.block);
            if (mkdirat(deleted_fd, name.c_str(), 0700) == 0)
                run->result->directories += 1;
            say(item.path, "salvaged deleted entry of block " + std::to_string(h.block));
            continue;
        }
        salvage_one(collector, alone, deleted_fd, deleted_path, block_name(h));
    }
    if (deleted_fd >= 0)
        close(deleted_fd);
}

// ---------------------------------------------------------------------------
// The directory

// The directory of the extraction: made when it does not exist, taken when it
// is an empty directory; anything else is refused.
int open_target(const char *path)
{
    if (mkdir(path, 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "%s: cannot make '%s': %s\n", program_name, path, std::strerror(errno));
        return -1;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot open '%s': %s\n", program_name, path, std::strerror(errno));
        return -1;
    }
    int probe = dup(fd);
    DIR *listing = probe < 0 ? nullptr : fdopendir(probe);
    bool empty = listing != nullptr;
    while (listing) {
        dirent *e = readdir(listing);
        if (!e)
            break;
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            empty = false;
    }
    if (listing)
        closedir(listing);
    if (!empty) {
        std::fprintf(stderr, "%s: '%s' is not empty: the copy-out never merges into existing files\n", program_name,
                     path);
        close(fd);
        return -1;
    }
    return fd;
}

// A tree deep enough needs a descriptor per level: the limit is raised as far
// as the system lets.
void raise_descriptor_limit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

std::string host_name(const std::uint8_t *bytes, std::size_t length, bool &escaped)
{
    escaped = false;
    if (length == 0) {
        escaped = true;
        return "%00";
    }
    if (length == 1 && bytes[0] == '.') {
        escaped = true;
        return "%2E";
    }
    if (length == 2 && bytes[0] == '.' && bytes[1] == '.') {
        escaped = true;
        return "%2E%2E";
    }
    for (std::size_t i = 0; i < length; ++i)
        escaped = escaped || unsafe_byte(bytes[i]);
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        if (escaped && (unsafe_byte(bytes[i]) || bytes[i] == '%'))
            put_escape(out, bytes[i]);
        else
            latin1_to_utf8(out, bytes[i]);
    }
    return out;
}

std::string link_target(const std::string &target, std::uint32_t depth, const std::string &volume_name,
                        bool &clamped)
{
    clamped = false;
    std::string rest = target;
    std::string out;
    std::uint32_t at = depth;  // directories between the root and where the target stands
    std::size_t colon = target.find(':');
    if (colon != std::string::npos) {
        std::string device = target.substr(0, colon);
        bool same = device.size() == volume_name.size();
        for (std::size_t i = 0; same && i < device.size(); ++i) {
            std::uint8_t a = std::uint8_t(device[i]), b = std::uint8_t(volume_name[i]);
            same = (a == b) || (a < 0x80 && b < 0x80 && std::toupper(a) == std::toupper(b));
        }
        if (device.empty() || same) {
            out = up_to_root(depth);
            at = 0;
            rest = target.substr(colon + 1);
        }
    }
    std::string parts;
    auto add = [&](const std::string &part) {
        if (!parts.empty())
            parts += '/';
        parts += part;
    };
    std::size_t i = 0;
    // each part ends at a '/'; an empty part is the parent
    while (i <= rest.size()) {
        std::size_t end = rest.find('/', i);
        bool last = end == std::string::npos;
        if (last)
            end = rest.size();
        std::string part = rest.substr(i, end - i);
        if (part.empty()) {
            if (!last) {
                if (at == 0) {
                    clamped = true;
                } else {
                    at -= 1;
                    add("..");
                }
            }
        } else {
            bool escaped = false;
            add(host_name(reinterpret_cast<const std::uint8_t *>(part.data()), part.size(), escaped));
            at += 1;
        }
        i = end + 1;
    }
    out += parts;
    if (out.empty())
        out = ".";
    else if (out.back() == '/')
        out.pop_back();
    return out;
}

int run_extract(const RunOptions &given, const ExtractOptions &extract, Reporter &to, ExtractResult &result)
{
    RunOptions options = given;
    options.options |= ReadOnly;
    options.options &= ~std::uint32_t(WriteBitmap | ClearBitmapFlag);
    options.undo_path = nullptr;
    raise_descriptor_limit();
    Extraction state;
    state.options = &extract;
    state.result = &result;
    run = &state;
    state.root_fd = open_target(extract.directory);
    if (state.root_fd < 0) {
        result.refused = true;
        run = nullptr;
        return 8;
    }
    state.root_length = std::strlen(extract.directory);
    std::vector<Record> records;
    Collector collector(to);
    collector.into = &records;
    int checked = run_check_kept(options, collector);
    if (checked != 0 && !volume.work_map) {
        // no volume was found: nothing to extract
        result.device_unreadable = true;
        end_mapped_reads();
        close(state.root_fd);
        run = nullptr;
        end_report();
        return 8;
    }
    state.volume_name = volume_label();
    state.claims.assign(volume.total_blocks, 0);
    if (volume.root_block < volume.total_blocks)
        state.claims[volume.root_block] = 255;
    for (std::uint32_t b : bitmap_chain().pointers)
        if (b < volume.total_blocks)
            state.claims[b] = 255;
    for (std::uint32_t b : bitmap_chain().extensions)
        if (b < volume.total_blocks)
            state.claims[b] = 255;
    collector.into = nullptr;
    first_pass(records);
    state.stack.push_back({dup(state.root_fd), "", volume.root_block, {}, 0});
    second_pass(records);
    close_to(0);
    if (extract.salvage != Salvage::None)
        salvage(collector);
    pending_links();
    settle_directories();
    close(state.stack[0].fd);
    close(state.root_fd);
    end_mapped_reads();
    to.flush();
    end_report();
    run = nullptr;
    return state.status != 0 || checked != 0 ? 1 : 0;
}
