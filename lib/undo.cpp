// Undo files: the old contents of every block that a run writes, saved
// before the first write, and the restore that puts them back.
//
// An undo file has three parts, every number big-endian:
//
//   header, 48 bytes
//     0  "AMIUNDO2" ("AMIUNDO1": a file of an earlier version, without the
//        device's identity, which is still restored)
//     8  block size
//    12  number of saved blocks (n)
//    16  size of the device in bytes (64 bits)
//    24  byte offset of the volume on the device (64 bits)
//    32  root block, 36  0
//    40  check of bytes 0 .. 39 (64 bits)
//   the device's identity (not in "AMIUNDO1" files), 32 bytes + the path
//     0  kind: 1 a regular file, 2 a block device
//     4  length of the path
//     8  a file's device number, or a block device's own number (64 bits)
//    16  a file's inode number (64 bits), or 0
//    24  the path as given, padded with 0 to a multiple of 8 bytes,
//        then the check of all the part before it
//   n saved blocks, block size + 16 bytes each
//     0  block number, 4  0, 8  the old contents,
//     then the check of the block number, the 0 and the contents
//   new-contents records, 24 bytes each, appended while the run writes
//     0  block number, 4  kind: 1 new contents, 2 end of the run
//     8  kind 1: the hash of the contents about to be written to the block;
//        kind 2: the number of kind-1 records before it
//    16  check of bytes 0 .. 15
//
// Hashes and checks are 64-bit FNV-1a; the checks of the saved blocks and
// the records start from the header's check, so that no part of one undo
// file passes in another.  The saved blocks are flushed to the file and its
// folder before the first block goes to the device; each new-contents
// record is flushed before the write that it announces (the writes of a run
// wait in batches, and one flush covers the records of a whole batch, see
// undo_record_planned_writes).  Whatever the point at which a run stops,
// each saved block on the device then holds its old contents or contents
// whose hash is recorded: a restore accepts exactly
// those, and anything else means that the volume changed since.  The
// restore itself can be cut off at any point and run again: it writes only
// old contents, framed by the root block with its bitmap flag cleared.
#include "volume.h"

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr char undo_magic[8] = {'A', 'M', 'I', 'U', 'N', 'D', 'O', '2'};
constexpr char undo_magic_v1[8] = {'A', 'M', 'I', 'U', 'N', 'D', 'O', '1'};
constexpr std::uint32_t header_bytes = 48;
constexpr std::uint32_t record_bytes = 24;
// A run writes each saved block a few times at most (the root block: with
// its flag cleared, then set); more records than this for one block make
// the file damaged, so that a hostile file cannot make the restore hold
// millions of hashes.
constexpr std::size_t max_records_per_block = 8;
constexpr std::uint32_t record_new = 1;
constexpr std::uint32_t record_end = 2;

// positions in the header and the records
namespace undo_field {
constexpr std::uint32_t block_size = 8, saved_count = 12, device_bytes = 16, offset = 24, root = 32,
                        header_check = 40;
constexpr std::uint32_t record_block = 0, record_kind = 4, record_value = 8, record_check = 16;
constexpr std::uint32_t identity_kind = 0, identity_path_length = 4, identity_device = 8, identity_inode = 16,
                        identity_path = 24;
}  // namespace undo_field

constexpr std::uint64_t fnv_basis = 14695981039346656037ull;

std::uint64_t fnv(std::uint64_t hash, const std::uint8_t *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

std::uint64_t get_quad(const std::uint8_t *p, std::uint32_t offset)
{
    return std::uint64_t(get_long(p, offset)) << 32 | get_long(p, offset + 4);
}

void put_quad(std::uint8_t *p, std::uint32_t offset, std::uint64_t value)
{
    put_long(p, offset, std::uint32_t(value >> 32));
    put_long(p, offset + 4, std::uint32_t(value));
}

// The undo file of the running program.
struct UndoState {
    const char *path;
    int fd = -1;
    std::uint64_t device_bytes;
    std::uint64_t seed;      // the header's check
    std::uint64_t end;       // where the next record goes
    std::uint32_t records;   // new-contents records written
    bool saved = false;      // the saved blocks are in the file
    std::vector<std::uint32_t> blocks;       // saved blocks, sorted
    std::vector<std::uint64_t> last_hash;    // per saved block: last recorded hash, or 0
    // With blocks outside the volume (undo_add_device_bytes), the file counts
    // blocks from the device's start: `base` is the volume's first block there.
    std::uint64_t base = 0;
    std::vector<std::uint32_t> device_blocks;
};

UndoState undo;

// writes all `count` bytes at `offset` of the undo file
int write_undo(const std::uint8_t *bytes, std::size_t count, std::uint64_t offset)
{
    while (count > 0) {
        ssize_t n = pwrite(undo.fd, bytes, count, off_t(offset));
        if (n <= 0) {
            log_error("unable to write undo file '%s' (%s)\n", undo.path, std::strerror(n < 0 ? errno : EIO));
            return 1;
        }
        bytes += n, count -= std::size_t(n), offset += std::uint64_t(n);
    }
    return 0;
}

int sync_undo()
{
    if (fdatasync(undo.fd) == 0)
        return 0;
    log_error("unable to write undo file '%s' (%s)\n", undo.path, std::strerror(errno));
    return 1;
}

// Makes the new name of the file itself durable: flushes its folder.
int sync_undo_folder()
{
    std::string folder = undo.path;
    std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || fsync(fd) != 0) {
        log_error("unable to flush the folder of undo file '%s' (%s)\n", undo.path, std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return 1;
    }
    close(fd);
    return 0;
}

int append_record(std::uint32_t block, std::uint32_t kind, std::uint64_t value, bool sync = true)
{
    std::uint8_t record[record_bytes];
    put_long(record, undo_field::record_block, block);
    put_long(record, undo_field::record_kind, kind);
    put_quad(record, undo_field::record_value, value);
    put_quad(record, undo_field::record_check, fnv(undo.seed, record, undo_field::record_check));
    if (write_undo(record, record_bytes, undo.end) != 0 || (sync && sync_undo() != 0))
        return 1;
    undo.end += record_bytes;
    return 0;
}

// reads block 0 too, which the guards otherwise refuse
int read_any_block(std::uint8_t *buffer, std::uint32_t block)
{
    return read_block_in(whole_volume_span(), buffer, block);
}

// The identity of the device that a run writes: its kind and numbers, and
// the path as given.
struct DeviceIdentity {
    std::uint32_t kind = 0;  // 1 regular file, 2 block device
    std::uint64_t device = 0, inode = 0;
    std::string path;
};
constexpr std::uint32_t identity_file = 1, identity_block_device = 2;

bool identity_of(int fd, DeviceIdentity &id)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    if (S_ISREG(status.st_mode))
        id.kind = identity_file, id.device = status.st_dev, id.inode = status.st_ino;
    else
        id.kind = identity_block_device, id.device = status.st_rdev, id.inode = 0;
    return true;
}

std::uint64_t identity_bytes(std::uint32_t path_length)
{
    return undo_field::identity_path + (std::uint64_t(path_length) + 7) / 8 * 8 + 8;
}

// Writes the identity part at `at`; its size in `size`.
int write_identity(std::uint64_t at, std::uint64_t &size)
{
    DeviceIdentity id;
    if (!identity_of(volume.fd, id)) {
        log_error("unable to write undo file '%s' (%s)\n", undo.path, std::strerror(errno));
        return 1;
    }
    std::uint32_t length = std::uint32_t(strnlen(volume.device_path, PATH_MAX));
    size = identity_bytes(length);
    std::vector<std::uint8_t> part(size);
    put_long(part.data(), undo_field::identity_kind, id.kind);
    put_long(part.data(), undo_field::identity_path_length, length);
    put_quad(part.data(), undo_field::identity_device, id.device);
    put_quad(part.data(), undo_field::identity_inode, id.inode);
    std::memcpy(part.data() + undo_field::identity_path, volume.device_path, length);
    put_quad(part.data(), std::uint32_t(size - 8), fnv(undo.seed, part.data(), size - 8));
    return write_undo(part.data(), size, at);
}

// Reads block `block` of the undo file's numbering: counted from the
// device's start when the file holds blocks outside the volume.
int read_numbered_block(std::uint8_t *buffer, std::uint32_t block)
{
    if (undo.device_blocks.empty())
        return read_any_block(buffer, block);
    std::uint64_t device_blocks = undo.device_bytes >> volume.block_shift;
    return read_block_in({0, volume.block_size, volume.block_shift, 0, device_blocks}, buffer, block);
}

// Saves the old contents of `planned` (in that order, each once) and
// flushes them; from then on every write must be to one of them.
int save_blocks(std::vector<std::uint32_t> planned)
{
    if (undo.fd < 0 || undo.saved)
        return 0;
    if (!undo.device_blocks.empty()) {
        for (std::uint32_t &b : planned)
            b = std::uint32_t(b + undo.base);
        planned.insert(planned.end(), undo.device_blocks.begin(), undo.device_blocks.end());
    }
    std::vector<std::uint32_t> order;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t b : planned)
        if (seen.insert(b).second)
            order.push_back(b);
    std::uint8_t header[header_bytes] = {};
    std::memcpy(header, undo_magic, sizeof undo_magic);
    put_long(header, undo_field::block_size, volume.block_size);
    put_long(header, undo_field::saved_count, std::uint32_t(order.size()));
    put_quad(header, undo_field::device_bytes, undo.device_bytes);
    put_quad(header, undo_field::offset, volume.partition_offset - (undo.base << volume.block_shift));
    put_long(header, undo_field::root, std::uint32_t(volume.root_block + undo.base));
    undo.seed = fnv(fnv_basis, header, undo_field::header_check);
    put_quad(header, undo_field::header_check, undo.seed);
    if (write_undo(header, header_bytes, 0) != 0)
        return 1;
    std::uint64_t identity = 0;
    if (write_identity(header_bytes, identity) != 0)
        return 1;

    std::uint64_t at = header_bytes + identity;
    std::vector<std::uint8_t> entry(volume.block_size + 16);
    for (std::uint32_t b : order) {
        std::memset(entry.data(), 0, entry.size());
        put_long(entry.data(), 0, b);
        if (read_numbered_block(entry.data() + 8, b) != 0) {
            log_error("unable to save block %u in undo file '%s'\n", b, undo.path);
            return 1;
        }
        put_quad(entry.data(), volume.block_size + 8, fnv(undo.seed, entry.data(), volume.block_size + 8));
        if (write_undo(entry.data(), entry.size(), at) != 0)
            return 1;
        at += entry.size();
    }
    if (sync_undo() != 0 || sync_undo_folder() != 0)
        return 1;
    undo.end = at;
    undo.blocks = order;
    std::sort(undo.blocks.begin(), undo.blocks.end());
    undo.last_hash.assign(undo.blocks.size(), 0);
    undo.saved = true;
    log_verbose(1, "saved %zu blocks in undo file '%s'\n", order.size(), undo.path);
    if (!undo.device_blocks.empty())
        log_verbose(1, "the undo file holds the partition table's block too, as block %u of the device\n",
                    undo.device_blocks.front());
    return 0;
}

// the undo file's part of a restore
struct SavedBlock {
    std::uint32_t block;
    std::uint64_t at;        // offset of its old contents in the file
    std::uint64_t old_hash;
    std::vector<std::uint64_t> new_hashes;
};

int read_undo(int fd, const char *path, std::uint8_t *bytes, std::size_t count, std::uint64_t offset)
{
    ssize_t n = pread(fd, bytes, count, off_t(offset));
    if (n == ssize_t(count))
        return 0;
    if (n < 0)
        log_error("unable to read undo file '%s' (%s)\n", path, std::strerror(errno));
    else
        log_error("undo file '%s' is damaged (%s)\n", path, "truncated");
    return 1;
}

// The identity recorded in the undo file being restored
DeviceIdentity recorded;

// Reads the identity part at `at` of an undo file of `file_bytes`; its size
// in `size`.
int read_identity(int fd, const char *path, std::uint64_t seed, std::uint64_t at, std::uint64_t file_bytes,
                  std::uint64_t &size)
{
    std::uint8_t fixed[undo_field::identity_path];
    if (at + sizeof fixed > file_bytes) {
        log_error("undo file '%s' is damaged (%s)\n", path, "truncated");
        return 1;
    }
    if (read_undo(fd, path, fixed, sizeof fixed, at) != 0)
        return 1;
    std::uint32_t length = get_long(fixed, undo_field::identity_path_length);
    std::uint32_t kind = get_long(fixed, undo_field::identity_kind);
    if (length > PATH_MAX || (kind != identity_file && kind != identity_block_device)) {
        log_error("undo file '%s' is damaged (%s)\n", path, "bad device identity");
        return 1;
    }
    size = identity_bytes(length);
    if (at + size > file_bytes) {
        log_error("undo file '%s' is damaged (%s)\n", path, "truncated");
        return 1;
    }
    std::vector<std::uint8_t> part(size);
    if (read_undo(fd, path, part.data(), size, at) != 0)
        return 1;
    if (get_quad(part.data(), std::uint32_t(size - 8)) != fnv(seed, part.data(), size - 8)) {
        log_error("undo file '%s' is damaged (%s)\n", path, "bad device identity");
        return 1;
    }
    recorded.kind = kind;
    recorded.device = get_quad(part.data(), undo_field::identity_device);
    recorded.inode = get_quad(part.data(), undo_field::identity_inode);
    recorded.path.assign(reinterpret_cast<const char *>(part.data()) + undo_field::identity_path, length);
    return 0;
}

// 0 when the open device is the one that the undo file was written for (or
// the file records none); else 1, after naming both.
int other_device(const char *path)
{
    DeviceIdentity now;
    if (recorded.kind == 0 || !identity_of(volume.fd, now))
        return 0;
    if (now.kind == recorded.kind && now.device == recorded.device && now.inode == recorded.inode)
        return 0;
    std::string was = recorded.path;
    mask_for_terminal(was.data(), was.size());
    log_error("undo file '%s' was written for '%s', which is not '%s'\n", path, was.c_str(), volume.device_path);
    return 1;
}

// Reads and checks the whole undo file.  Sets the block size, shift and
// partition offset of the session from it.
int load_undo(int fd, const char *path, std::uint64_t &device_bytes, std::vector<SavedBlock> &saved,
              bool &complete)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        log_error("unable to read undo file '%s' (%s)\n", path, std::strerror(errno));
        return 1;
    }
    std::uint64_t file_bytes = std::uint64_t(status.st_size);
    std::uint8_t header[header_bytes];
    if (file_bytes < sizeof undo_magic || read_undo(fd, path, header, sizeof undo_magic, 0) != 0 ||
        (std::memcmp(header, undo_magic, sizeof undo_magic) != 0 &&
         std::memcmp(header, undo_magic_v1, sizeof undo_magic) != 0)) {
        log_error("'%s' is not an undo file\n", path);
        return 1;
    }
    if (read_undo(fd, path, header, header_bytes, 0) != 0)
        return 1;
    std::uint64_t seed = fnv(fnv_basis, header, undo_field::header_check);
    std::uint32_t size = get_long(header, undo_field::block_size);
    std::uint32_t shift = shift_of_block_size(size);
    if (get_quad(header, undo_field::header_check) != seed || shift == 0) {
        log_error("undo file '%s' is damaged (%s)\n", path, "bad header");
        return 1;
    }
    volume.block_size = size;
    volume.block_shift = shift;
    volume.partition_offset = get_quad(header, undo_field::offset);
    volume.root_block = get_long(header, undo_field::root);
    device_bytes = get_quad(header, undo_field::device_bytes);
    std::uint32_t count = get_long(header, undo_field::saved_count);
    std::uint64_t entry_bytes = size + 16;
    std::uint64_t identity = 0;
    recorded = DeviceIdentity();
    if (std::memcmp(header, undo_magic, sizeof undo_magic) == 0 &&
        read_identity(fd, path, seed, header_bytes, file_bytes, identity) != 0)
        return 1;
    if (file_bytes < header_bytes + identity + count * entry_bytes) {
        log_error("undo file '%s' is damaged (%s)\n", path, "truncated");
        return 1;
    }

    std::vector<std::uint8_t> entry(entry_bytes);
    std::unordered_map<std::uint32_t, std::size_t> index;  // block -> its place in `saved`
    std::uint64_t at = header_bytes + identity;
    for (std::uint32_t i = 0; i < count; ++i, at += entry_bytes) {
        if (read_undo(fd, path, entry.data(), entry.size(), at) != 0)
            return 1;
        std::uint32_t block = get_long(entry.data(), 0);
        if (get_quad(entry.data(), size + 8) != fnv(seed, entry.data(), size + 8)) {
            log_error("undo file '%s' is damaged (%s %u)\n", path, "bad saved block", block);
            return 1;
        }
        if (!index.emplace(block, saved.size()).second) {
            log_error("undo file '%s' is damaged (%s %u)\n", path, "block saved twice:", block);
            return 1;
        }
        saved.push_back({block, at + 8, fnv(fnv_basis, entry.data() + 8, size), {}});
    }

    // The records.  A run that stopped early leaves no end record, and
    // perhaps a last record cut short or half written: that one announced
    // a write that was never issued, and is left out.
    complete = false;
    std::uint32_t new_records = 0;
    std::uint8_t record[record_bytes];
    for (; at < file_bytes; at += record_bytes) {
        bool last = at + record_bytes >= file_bytes;
        if (file_bytes - at < record_bytes && !complete)
            break;
        if (complete) {
            log_error("undo file '%s' is damaged (%s)\n", path, "bytes after the end record");
            return 1;
        }
        if (read_undo(fd, path, record, record_bytes, at) != 0)
            return 1;
        std::uint32_t block = get_long(record, undo_field::record_block);
        std::uint32_t kind = get_long(record, undo_field::record_kind);
        std::uint64_t value = get_quad(record, undo_field::record_value);
        bool good = get_quad(record, undo_field::record_check) == fnv(seed, record, undo_field::record_check);
        if (!good && last)
            break;
        auto found = index.find(block);
        if (!good || (kind == record_new && found == index.end()) ||
            (kind == record_end && value != new_records) || (kind != record_new && kind != record_end)) {
            log_error("undo file '%s' is damaged (%s)\n", path, "bad record");
            return 1;
        }
        if (kind == record_end) {
            complete = true;
            continue;
        }
        if (saved[found->second].new_hashes.size() == max_records_per_block) {
            log_error("undo file '%s' is damaged (%s %u)\n", path, "too many records for block", block);
            return 1;
        }
        saved[found->second].new_hashes.push_back(value);
        ++new_records;
    }
    return 0;
}

// Reads the old contents of `s` from the undo file, checked once more.
int read_saved(int fd, const char *path, const SavedBlock &s, std::uint8_t *buffer)
{
    if (read_undo(fd, path, buffer, volume.block_size, s.at) != 0)
        return 1;
    if (fnv(fnv_basis, buffer, volume.block_size) == s.old_hash)
        return 0;
    // the file changed after it was checked
    log_error("undo file '%s' is damaged (%s %u)\n", path, "bad saved block", s.block);
    return 1;
}

// The saved root block with its bitmap flag cleared (the same block when the
// flag was 0), when it was a root block: a restore writes it before any
// other block and the saved root last, so that until the restore is
// complete the volume reads as not validated, whatever mix of old and new
// bitmap blocks it holds.
bool make_interim_root(const std::uint8_t *old, std::uint8_t *interim)
{
    if (get_long(old, field::type) != header_type || std::int32_t(get_tail(old, field::secondary_type)) != Root)
        return false;
    std::memcpy(interim, old, volume.block_size);
    put_tail(interim, field::bitmap_flag, 0);
    seal_block(interim, field::checksum);
    return true;
}

int write_and_flush(const std::uint8_t *buffer, std::uint32_t block)
{
    return write_block_in(whole_volume_span(), buffer, block) != 0 || flush_device() != 0 ? 1 : 0;
}

}  // namespace

int undo_create(const char *path, std::uint64_t device_bytes)
{
    undo.path = path;
    undo.device_bytes = device_bytes;
    undo.fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (undo.fd >= 0)
        return 0;
    if (errno == EEXIST)
        log_error("undo file '%s' already exists\n", path);
    else
        log_error("unable to create undo file '%s' (%s)\n", path, std::strerror(errno));
    return 1;
}

int undo_save_blocks(const std::vector<std::uint32_t> &blocks)
{
    if (undo.fd < 0)
        return 0;
    return save_blocks(blocks);
}

int undo_add_device_bytes(std::uint64_t byte, std::uint32_t count)
{
    if (undo.fd < 0)
        return 0;
    std::uint64_t device_blocks = undo.device_bytes >> volume.block_shift;
    if (volume.partition_offset % volume.block_size != 0 || device_blocks - 1 > UINT32_MAX) {
        log_error("undo file '%s' cannot hold the partition table's block: the volume does not start on a "
                  "multiple of %u bytes, or the device has more than 2^32 blocks\n",
                  undo.path, volume.block_size);
        return 1;
    }
    undo.base = volume.partition_offset >> volume.block_shift;
    for (std::uint64_t b = byte >> volume.block_shift; b <= (byte + count - 1) >> volume.block_shift; ++b)
        undo.device_blocks.push_back(std::uint32_t(b));
    return 0;
}

int undo_note_write(const std::uint8_t *buffer, std::uint32_t block)
{
    return undo_note_device_write(buffer, block + undo.base);
}

bool undo_recording() { return undo.fd >= 0; }

int undo_record_planned_writes(const std::uint32_t *blocks, const std::uint8_t *contents, std::size_t count)
{
    if (undo.fd < 0 || count == 0)
        return 0;
    // A write whose contents are recorded already needs no record; the
    // others get theirs, all flushed at once below, before any is written.
    std::uint32_t added = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t block = std::uint32_t(blocks[i] + undo.base);
        auto at = std::lower_bound(undo.blocks.begin(), undo.blocks.end(), block);
        if (!undo.saved || at == undo.blocks.end() || *at != block) {
            log_error("unable to write block %d (not saved in the undo file)\n", int(blocks[i]));
            return 1;
        }
        std::uint64_t hash = fnv(fnv_basis, contents + i * volume.block_size, volume.block_size);
        std::uint64_t &last = undo.last_hash[std::size_t(at - undo.blocks.begin())];
        if (last == hash && hash != 0)
            continue;
        if (append_record(block, record_new, hash, false) != 0)
            return 1;
        last = hash;
        ++undo.records;
        ++added;
    }
    return added != 0 ? sync_undo() : 0;
}

int undo_note_device_write(const std::uint8_t *buffer, std::uint64_t device_block)
{
    if (undo.fd < 0)
        return 0;
    std::uint32_t block = std::uint32_t(device_block);
    auto at = std::lower_bound(undo.blocks.begin(), undo.blocks.end(), block);
    if (!undo.saved || at == undo.blocks.end() || *at != block) {
        log_error("unable to write block %d (not saved in the undo file)\n", int(block));
        return 1;
    }
    std::uint64_t hash = fnv(fnv_basis, buffer, volume.block_size);
    std::uint64_t &last = undo.last_hash[std::size_t(at - undo.blocks.begin())];
    if (last == hash && hash != 0)
        return 0;
    if (append_record(block, record_new, hash) != 0)
        return 1;
    last = hash;
    ++undo.records;
    return 0;
}

int undo_finish()
{
    if (undo.fd < 0)
        return 0;
    int result = 0;
    if (undo.records == 0) {
        // nothing reached the device: there is nothing to take back, and the
        // name stays free for the next run
        if (unlink(undo.path) != 0) {
            log_error("unable to remove undo file '%s' (%s)\n", undo.path, std::strerror(errno));
            result = 1;
        }
    } else {
        result = append_record(UINT32_MAX, record_end, undo.records);
    }
    close(undo.fd);
    undo.fd = -1;
    return result;
}

int restore_volume(const char *path, std::uint64_t device_bytes, bool force, bool dry_run)
{
    // without O_NONBLOCK, a FIFO would hold the open until a writer comes
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        log_error("unable to read undo file '%s' (%s)\n", path, std::strerror(errno));
        return 1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        log_error("undo file '%s' is not a regular file\n", path);
        close(fd);
        return 1;
    }
    std::uint64_t recorded_bytes = 0;
    std::vector<SavedBlock> saved;
    bool complete = false;
    if (load_undo(fd, path, recorded_bytes, saved, complete) != 0) {
        close(fd);
        return 1;
    }
    if (recorded_bytes != device_bytes) {
        log_error("undo file '%s' is for a device of %" PRIu64 " bytes, '%s' has %" PRIu64 "\n", path,
                  recorded_bytes, volume.device_path, device_bytes);
        close(fd);
        return 1;
    }
    if (other_device(path) != 0 && !force) {
        log_error("nothing restored (-f restores anyway)\n");
        close(fd);
        return 1;
    }
    std::uint64_t blocks = device_bytes > volume.partition_offset
                               ? (device_bytes - volume.partition_offset) >> volume.block_shift
                               : 0;
    volume.total_blocks = blocks > UINT32_MAX ? UINT32_MAX : std::uint32_t(blocks);
    if (!complete)
        log_verbose(0, "undo file '%s' has no end record: the run that wrote it stopped early\n", path);

    // the root block, as saved and with its flag cleared
    alignas(4) std::uint8_t old_root[max_block_size], interim[max_block_size];
    std::size_t root = saved.size();
    bool has_interim = false;
    std::uint64_t interim_hash = 0;
    for (std::size_t i = 0; i < saved.size(); ++i)
        if (saved[i].block == volume.root_block && volume.root_block != 0)
            root = i;
    if (root < saved.size()) {
        if (read_saved(fd, path, saved[root], old_root) != 0) {
            close(fd);
            return 1;
        }
        has_interim = make_interim_root(old_root, interim);
        interim_hash = fnv(fnv_basis, interim, volume.block_size);
    }

    // The test that the volume is as the run left it, or as an earlier
    // restore left it, for every block before any is written.
    alignas(4) std::uint8_t current[max_block_size];
    std::vector<bool> differs(saved.size());
    // the blocks that hold what the run wrote: the restore puts them back
    // also where they are the partition table's (a format that set a
    // partition's DOS type wrote its PART block)
    std::vector<bool> by_run(saved.size());
    int changed = 0;
    for (std::size_t i = 0; i < saved.size(); ++i) {
        const SavedBlock &s = saved[i];
        if (s.block >= volume.total_blocks) {
            log_error("undo file '%s' is damaged (%s %u)\n", path, "block out of range:", s.block);
            close(fd);
            return 1;
        }
        if (read_any_block(current, s.block) != 0) {
            close(fd);
            return 1;
        }
        std::uint64_t hash = fnv(fnv_basis, current, volume.block_size);
        differs[i] = hash != s.old_hash;
        bool left_by_restore = i == root && has_interim && hash == interim_hash;
        by_run[i] = differs[i] && (left_by_restore ||
                                   std::find(s.new_hashes.begin(), s.new_hashes.end(), hash) != s.new_hashes.end());
        if (differs[i] && !by_run[i]) {
            log_error("block %u changed since the undo file was written\n", s.block);
            ++changed;
        }
    }
    if (changed != 0 && !force) {
        log_error("volume changed since the undo file was written; nothing restored (-f restores anyway)\n");
        close(fd);
        return 1;
    }
    std::uint32_t to_write = std::uint32_t(std::count(differs.begin(), differs.end(), true));
    // a block of the partition table is refused before the first write
    std::vector<std::uint32_t> planned;
    for (std::size_t i = 0; i < saved.size(); ++i)
        if (differs[i] && !by_run[i])
            planned.push_back(saved[i].block);
    if (has_interim)
        planned.push_back(volume.root_block);
    if (refuse_table_writes(planned.data(), planned.size()) != 0) {
        close(fd);
        return 1;
    }
    if (dry_run) {
        log_verbose(0, "would restore %u of %zu blocks\n", to_write, saved.size());
        close(fd);
        return 0;
    }

    // the root block with its flag cleared, the other blocks, the root block
    bool root_differs = root < saved.size() && differs[root];
    bool others = to_write > (root_differs ? 1u : 0u);
    int result = 0;
    if (others && has_interim) {
        result = write_and_flush(interim, volume.root_block);
        root_differs = std::memcmp(interim, old_root, volume.block_size) != 0;
    } else if (others && root_differs) {
        // The saved root block is no root block (a format over other data):
        // it goes back first, so that the root that the run wrote, marked
        // valid, never stands over a bitmap that is partly restored.
        result = write_and_flush(old_root, volume.root_block);
        root_differs = false;
    }
    for (std::size_t i = 0; i < saved.size() && result == 0; ++i)
        if (differs[i] && i != root) {
            BlockSpan span = whole_volume_span();
            span.guarded = !by_run[i];
            result = read_saved(fd, path, saved[i], current) != 0 || write_block_in(span, current, saved[i].block) != 0;
        }
    if (result == 0 && others)
        result = flush_device();
    if (result == 0 && root_differs)
        result = write_and_flush(old_root, volume.root_block);
    close(fd);
    if (result == 0)
        log_verbose(0, "restored %u of %zu blocks\n", to_write, saved.size());
    return result;
}
