// The volume library: everything both programs know about an Amiga OFS/FFS
// volume.  One process works on one open volume, described by the one
// VolumeSession; every operation returns 0 for success and 1 for failure.
#pragma once

#include "report.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// ---------------------------------------------------------------------------
// Session

// what the user asked of the checker
enum CheckOptions : std::uint32_t {
    ReadOnly = 0x01,
    ForceCheck = 0x02,
    ClearBitmapFlag = 0x04,
    WriteBitmap = 0x08,
    // repair the tree before the bitmap is rebuilt from it (with WriteBitmap;
    // with ReadOnly: tell what the repairs would be)
    RepairTree = 0x10,
    // only the repairs that lose nothing and need no judgement
    RepairSafeOnly = 0x20,
};

// the variant of the filesystem: read from the volume's DOS type by the
// checker, chosen by the options of the formatter
enum VolumeVariant : std::uint8_t {
    OldFormat = 0x10,
    MultiUser = 0x20,
    International = 0x40,
    DirCache = 0x80,
};

constexpr std::uint32_t max_block_size = 4096;

struct VolumeSession {
    const char *volume_name;
    const char *device_path;
    int fd;
    // byte offset of the volume on the device (a partition's start), added to
    // every block transfer; 0 for a volume that fills the device
    std::uint64_t partition_offset;
    std::uint32_t reserved_blocks;
    std::uint32_t root_block;
    std::uint32_t block_size;
    std::uint32_t data_bytes_per_block;
    std::uint32_t block_shift;
    std::uint32_t total_blocks;
    std::uint32_t alloc_hint;
    int verbosity;
    std::uint32_t options;  // CheckOptions
    std::uint8_t variant;   // VolumeVariant
    // a block size that the root search tries before any other when none is
    // forced (a partition's, from its table), or 0
    std::uint32_t first_guess_block_size;
    alignas(4) std::uint8_t bitmap_buffer[max_block_size];
    alignas(4) std::uint8_t root_buffer[max_block_size];
    std::uint8_t *work_map;
    std::uint8_t *disk_map;
};

extern VolumeSession volume;

// Each program defines the name that prefixes its error messages.
extern const char program_name[];

// ---------------------------------------------------------------------------
// Big-endian field access.  Blocks stay in their on-disk byte order; each
// access converts the one field it touches.

inline std::uint32_t get_long(const std::uint8_t *block, std::uint32_t offset)
{
    const std::uint8_t *p = block + offset;
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

inline void put_long(std::uint8_t *block, std::uint32_t offset, std::uint32_t value)
{
    std::uint8_t *p = block + offset;
    p[0] = std::uint8_t(value >> 24);
    p[1] = std::uint8_t(value >> 16);
    p[2] = std::uint8_t(value >> 8);
    p[3] = std::uint8_t(value);
}

// ---------------------------------------------------------------------------
// On-disk layout.  Fields at the start of a block have fixed offsets; fields
// near the end lie a fixed distance before the end and so move with the block
// size: their offset is tail(distance).

namespace field {
// header blocks (root, directory, file, link), file extension blocks
constexpr std::uint32_t type = 0;
constexpr std::uint32_t header_key = 4;
constexpr std::uint32_t high_seq = 8;
constexpr std::uint32_t hash_table_size = 12;
constexpr std::uint32_t first_data = 16;
constexpr std::uint32_t checksum = 20;
constexpr std::uint32_t hash_table = 24;  // also a file's data_blocks

// distances from the end of the block
constexpr std::uint32_t bitmap_flag = 200;
constexpr std::uint32_t bitmap_pages = 196;
constexpr std::uint32_t byte_size = 188;
constexpr std::uint32_t comment_length = 184;
constexpr std::uint32_t comment = 183;
constexpr std::uint32_t bitmap_ext = 96;
constexpr std::uint32_t root_altered = 92;
constexpr std::uint32_t date = 92;
constexpr std::uint32_t name_length = 80;
constexpr std::uint32_t name = 79;
constexpr std::uint32_t volume_altered = 40;
constexpr std::uint32_t volume_created = 28;
constexpr std::uint32_t next_hash = 16;
constexpr std::uint32_t parent = 12;
constexpr std::uint32_t extension = 8;
constexpr std::uint32_t secondary_type = 4;
constexpr std::uint32_t protection = 192;  // the RWED bits, set when NOT allowed
constexpr std::uint32_t real_entry = 44;   // a hard link's target
constexpr std::uint32_t owner = 196;       // multi-user: user id, then group id, 16 bits each

// OFS data blocks: type, header_key, then these, and the data
constexpr std::uint32_t data_sequence = 8;  // its place in the file's list, from 1
constexpr std::uint32_t data_size = 12;     // the bytes of the file it holds
constexpr std::uint32_t data_next = 16;     // the next data block, or 0
constexpr std::uint32_t data_bytes = 24;

// bitmap blocks
constexpr std::uint32_t bitmap_checksum = 0;
constexpr std::uint32_t bitmap_map = 4;

// dircache blocks
constexpr std::uint32_t dircache_own = 4;
constexpr std::uint32_t dircache_parent = 8;
constexpr std::uint32_t dircache_records = 12;  // the records the block holds
constexpr std::uint32_t dircache_next = 16;
constexpr std::uint32_t dircache_first_record = 24;

// partition table blocks (RDSK and PART); the checksum covers the first
// summed_longs longs of the block
constexpr std::uint32_t table_id = 0;
constexpr std::uint32_t table_summed_longs = 4;
constexpr std::uint32_t table_checksum = 8;
constexpr std::uint32_t rdsk_block_bytes = 16;
constexpr std::uint32_t rdsk_partition_list = 28;
constexpr std::uint32_t part_next = 16;
constexpr std::uint32_t part_flags = 20;
constexpr std::uint32_t part_drive_name = 36;  // a length byte, then the name
// the partition's environment, from long 32 on
constexpr std::uint32_t part_size_block = 132;  // sector size in longs
constexpr std::uint32_t part_surfaces = 140;
constexpr std::uint32_t part_sector_per_block = 144;
constexpr std::uint32_t part_blocks_per_track = 148;
constexpr std::uint32_t part_reserved = 152;
constexpr std::uint32_t part_low_cyl = 164;
constexpr std::uint32_t part_high_cyl = 168;
constexpr std::uint32_t part_dos_type = 192;
// the RDSK's other lists (every table block's next link lies where the
// PART's does), the range of blocks that it reserves for the table, and a
// filesystem header's LoadSeg chain
constexpr std::uint32_t rdsk_bad_block_list = 24;
constexpr std::uint32_t rdsk_fs_header_list = 32;
constexpr std::uint32_t rdsk_blocks_lo = 128;
constexpr std::uint32_t rdsk_blocks_hi = 132;
constexpr std::uint32_t fshd_seg_list = 72;
// a PC partition table (MBR) in sector 0: four entries of 16 bytes, their
// numbers little-endian, and the signature 0x55 0xAA
constexpr std::uint32_t mbr_entries = 446, mbr_entry_bytes = 16, mbr_signature = 510;
constexpr std::uint32_t mbr_type = 4, mbr_first_sector = 8, mbr_sectors = 12;  // within an entry
}  // namespace field

// the longs of a header block besides its hash table: a block of n longs
// holds n - header_longs hash slots
constexpr std::uint32_t header_longs = 56;
constexpr std::uint32_t header_type = 2;
constexpr std::uint32_t extension_type = 16;  // file extension blocks
constexpr std::uint32_t data_type = 8;        // OFS data blocks
constexpr std::uint32_t dircache_type = 33;   // directory cache blocks
constexpr std::uint32_t name_room = 30;
constexpr std::uint32_t root_bitmap_pages = 25;
constexpr std::uint32_t amiga_epoch = 252460800;  // 1978-01-01 00:00:00 UTC

enum SecondaryType : std::int32_t {
    Root = 1,
    Dir = 2,
    SoftLink = 3,
    LinkDir = 4,
    File = -3,
    FileLink = -4,
};

// offset of a field that lies `distance` bytes before the end of the block
inline std::uint32_t tail(std::uint32_t distance) { return volume.block_size - distance; }

inline std::uint32_t get_tail(const std::uint8_t *block, std::uint32_t distance)
{
    return get_long(block, tail(distance));
}

inline void put_tail(std::uint8_t *block, std::uint32_t distance, std::uint32_t value)
{
    put_long(block, tail(distance), value);
}

// the distance from the end of the root block of bitmap_pages entry i
inline std::uint32_t bitmap_page(std::uint32_t i) { return field::bitmap_pages - 4 * i; }

// the number of hash table slots, and of data block pointers per file block
inline std::uint32_t hash_slots() { return volume.block_size / 4 - header_longs; }

// long i of a table that starts at the hash table (slot i, or data pointer i)
inline std::uint32_t table_entry(const std::uint8_t *block, std::uint32_t i)
{
    return get_long(block, field::hash_table + 4 * i);
}

struct AmigaDate {
    std::uint32_t days;
    std::uint32_t minutes;
    std::uint32_t ticks;
};

AmigaDate amiga_date_from_unix(std::int64_t seconds);
std::uint32_t unix_from_amiga_date(AmigaDate date);  // wraps modulo 2^32
AmigaDate get_date(const std::uint8_t *block, std::uint32_t distance);
void put_date(std::uint8_t *block, std::uint32_t distance, AmigaDate date);

// block_shift for a block size, or 0 when it is none of the four sizes
std::uint32_t shift_of_block_size(std::int64_t size);

// A number from the command line, read as strtol reads it in base 10 (text
// that is no number gives 0, text after the digits is ignored).  Anything
// from -2^31 to 2^32 - 1 fits a 32-bit field, signed or unsigned, and is
// given in `value`; the caller keeps its low 32 bits, so -5 stands for
// 4294967291.  Any other number is refused with a message naming the text
// as typed: result 1.
int parse_number(const char *text, std::int64_t &value);

// the variant bits that a DOS type sets when read, or -1 when unrecognised
int flags_from_dos_type(std::uint32_t dos_type);
// the DOS type written for the variant bits of `variant`
std::uint32_t dos_type_from_flags(std::uint8_t variant);

// map bits held by one bitmap block
inline std::uint32_t bitmap_bits_per_block() { return volume.block_size * 8 - 32; }
// bitmap blocks that the volume needs (64-bit intermediates, so it never wraps)
std::uint32_t bitmap_block_count();
// bitmap extension blocks needed for `count` bitmap blocks
std::uint32_t bitmap_ext_count(std::uint32_t count);
// data blocks of a file of `byte_size` bytes
std::uint32_t data_block_count(std::uint32_t byte_size);
// The hash table slot of a name of `length` bytes: lower-case letters count
// as upper case, and so, on international and dircache volumes, do the
// Latin-1 letters 0xE0 .. 0xFE (but 0xF7, the division sign).
std::uint32_t name_hash_slot(const std::uint8_t *name, std::uint32_t length);

// ---------------------------------------------------------------------------
// Block I/O, checksum and messages

// The blocks that a guarded transfer may reach: blocks of `block_size`
// bytes from byte `offset` of the device, of which [first, end) are
// allowed.  The session's own span is its volume less the reserved blocks;
// the root search, block 0 and the partition table take spans of their own.
struct BlockSpan {
    std::uint64_t offset;
    std::uint32_t block_size;
    std::uint32_t block_shift;
    std::uint64_t first;
    std::uint64_t end;
    // writes onto the partition table's blocks are refused (see
    // protect_partition_table); only a restore of what a run wrote there
    // is let through
    bool guarded = true;
};
BlockSpan session_span();
// the session's span with block 0 and the other reserved blocks allowed
inline BlockSpan whole_volume_span()
{
    BlockSpan span = session_span();
    span.first = 0;
    return span;
}

int read_block(std::uint8_t *buffer, std::uint32_t block);
int write_block(const std::uint8_t *buffer, std::uint32_t block);
int read_block_in(const BlockSpan &span, std::uint8_t *buffer, std::uint64_t block);
int write_block_in(const BlockSpan &span, const std::uint8_t *buffer, std::uint64_t block);
// Opens device_path (read-only or for reading and writing, never creating
// it) into volume.fd and gives its size in bytes: a regular file's length,
// or a block device's size in 512-byte sectors.  Anything else is refused.
// `exclusive` (a run that will write) refuses a block device that is
// mounted or held open exclusively: "'%s' is in use".
int open_device(bool read_only, bool exclusive, std::uint64_t &bytes);
// Reads of an image file from a shared mapping of it, while the run lasts:
// on a warm page cache a block then costs a copy where a pread costs a
// system call and the copy.  Only regular files are mapped; nothing changes
// for block devices.  A fault under the mapping (a read error, or the file
// cut shorter under the run) ends the mapped reads, and the block is read
// again by pread, which reports what went wrong.  The look-ahead pauses them
// while the reads go to the device, and resumes them once they no longer do.
// Each call may be made at any time; a resume after the end maps nothing.
void begin_mapped_reads();
void end_mapped_reads();
void pause_mapped_reads();
void resume_mapped_reads();
// Waits until what was written has reached the device or the image file
// (fdatasync), so that later writes never reach it before earlier ones.
int flush_device();
std::uint32_t block_checksum(const std::uint8_t *buffer);
// true when the `count` bytes from `bytes` (at most one block) are all 0
bool all_zero(const std::uint8_t *bytes, std::size_t count);
// store the two's complement of the block's sum at `checksum_offset`
void seal_block(std::uint8_t *buffer, std::uint32_t checksum_offset);

void log_verbose(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// Root block and boot block

void init_root_block();
// The volume name `text`, given in the locale's character set, as the Amiga
// takes it: converted to ISO-8859-1 into `latin1` (room for 31 bytes, NUL
// ended).  Refused with a message, result 1: an empty name, one longer than
// 30 bytes in ISO-8859-1, one with ':' or '/', and one with characters that
// ISO-8859-1 has not.
int amiga_volume_name(const char *text, char *latin1);
// Searches the sectors around the middle of a device of `device_sectors`
// 512-byte sectors (or the one given with root_block); sets block_size,
// block_shift, root_block, and total_blocks in blocks.
int find_root_block(std::uint64_t device_sectors);
int detect_dos_type();

// ---------------------------------------------------------------------------
// Allocation bitmap

int mark_block_used(std::uint32_t block);
std::uint32_t allocate_block();
// Reads the bitmap blocks that the root and its extension chain name into
// the disk map, and records the chain.  A chain that cannot name every
// bitmap block (no bitmap_ext although more than 25 are needed, or an
// extension chain that ends or breaks early), a bitmap block that cannot be
// read or has a bad checksum, or one named twice, is a bitmap error.
int load_bitmap();
// The formatter's chain: bitmap blocks and extension blocks handed out from
// a fresh map, right behind the root block.  Nothing is written; 1 when the
// maps cannot be allocated.
int create_bitmap();
// Writes the work map into the chain's bitmap blocks and sets bitmap_flag
// to -1 in root_buffer; 1 (flag unchanged) when the bitmap is refused or a
// write failed.
int store_bitmap();
// The formatter's allocation lines of its chain, in the order it was made.
void report_bitmap_allocation();

// ---------------------------------------------------------------------------
// Write plans: the writes of a run, in order, with their flush points,
// listed before the first write.

enum class PlanContent : std::uint8_t {
    RootInvalid,  // the root block with bitmap_flag 0, without a note
    RootValid,    // the root block with bitmap_flag -1
    Root,         // the root block as it is in root_buffer
    Bitmap,       // bitmap block `index` of the chain, from the work map
    BitmapExt,    // extension block `index` of the chain
    DosType,      // block 0 with the variant's DOS type in its first long
    Image,        // repaired block image `index` (repaired_image)
    RepairedRoot, // the repaired root block; bitmap_flag -1 when `index` is 1, else 0
};

struct PlannedWrite {
    std::uint32_t block;
    PlanContent content;
    std::uint32_t index;
    bool flush_after;
};

struct WritePlan {
    std::vector<PlannedWrite> writes;
    void add(std::uint32_t block, PlanContent content, std::uint32_t index = 0);
    // the device is flushed after the last write added so far
    void flush();
    std::vector<std::uint32_t> blocks() const;
};

// The checker's writes: with `clear` the root block with its flag cleared;
// with a bitmap error the root block as read; else the root block with flag
// 0, the bitmap blocks, the root block with flag -1.
WritePlan check_write_plan(bool clear);
// The formatter's: extension blocks, root (flag 0), bitmap blocks, root, block 0.
WritePlan format_write_plan();
// Saves the plan's blocks in the undo file, if there is one.
int save_plan(const WritePlan &plan);
// The writes, in order; 1 at the first failed write or flush.
int execute_plan(const WritePlan &plan);

// ---------------------------------------------------------------------------
// Directory tree verification and listing

// `hash_table` points to the first slot of a root or directory hash table;
// its entries must name `directory` (the root block unless given) as their
// parent.  A walk of a subtree passes over blocks that an earlier walk took.
int check_directory(const std::uint8_t *hash_table, std::uint32_t directory);
inline int check_directory(const std::uint8_t *hash_table)
{
    return check_directory(hash_table, volume.root_block);
}
int check_dircache_chain(std::uint32_t first_block);
// For tests and fuzzers that run several checks in one process: frees the
// walk's record of visited blocks, so that the next walk starts a fresh one
// sized for its own volume.
void reset_walk_record();
// true when the walk has visited the header, extension or dircache block
bool block_walked(std::uint32_t block);
// Records `block` as walked (a header that a later walk must pass over);
// true when it was walked before.
bool mark_walked(std::uint32_t block);

// ---------------------------------------------------------------------------
// Read-ahead: the kernel is asked for blocks before the walk reads them.
// Nothing that is printed or written depends on it; a build with
// -DREADAHEAD=OFF leaves it out.

// what the look-ahead finds in a block that it follows
enum class AheadKind : std::uint8_t {
    Entry,      // a header in a hash table or a hash chain
    Extension,  // a file extension block
    Cache,      // a directory cache block
};

#if READAHEAD
// For tests and fuzzers: the look-ahead runs from the walk's start, also
// when the reads have not gone to the device.
extern bool read_ahead_eager;
// Asks for one block (hints are gathered and sent in sorted ranges); blocks
// that read_block would refuse are dropped.
void read_ahead(std::uint32_t block);
// read_ahead for each of the `count` big-endian block numbers at `table`,
// sent at once
void read_ahead_table(const std::uint8_t *table, std::uint32_t count);
// At the walk's start: true when the look-ahead runs from now on, and wants
// the root's table and cache chain.
bool read_ahead_start();
// Before each read of the walk: true once, when the look-ahead starts only
// now and wants to be told where the walk stands.
bool read_ahead_waking();
// Before the walk reads `block`, after read_ahead_waking: the look-ahead
// moves on and sends its hints, and goes on doing so while the block is on
// its way (0: no block).
void read_ahead_step(std::uint32_t block);
// Puts a block that the walk reaches later on the look-ahead's stack (the
// last one given is followed first) and asks for it.
void read_ahead_follow(std::uint32_t block, AheadKind kind);
// At the walk's end: the look-ahead's memory is freed; a later walk starts
// afresh.
void read_ahead_end();
#else
inline bool read_ahead_eager = false;
inline void read_ahead(std::uint32_t) {}
inline void read_ahead_table(const std::uint8_t *, std::uint32_t) {}
inline bool read_ahead_start() { return false; }
inline bool read_ahead_waking() { return false; }
inline void read_ahead_step(std::uint32_t) {}
inline void read_ahead_follow(std::uint32_t, AheadKind) {}
inline void read_ahead_end() {}
#endif

// ---------------------------------------------------------------------------
// Bitmap comparison

std::uint32_t compare_bitmaps();

// ---------------------------------------------------------------------------
// Undo files: the old contents of the blocks a run writes, kept so that a
// restore can put them back (the file's layout is described in undo.cpp).

// Creates the undo file `path`, which must not exist yet, for a device of
// `device_bytes` bytes; nothing is in it until the run saves its blocks.
int undo_create(const char *path, std::uint64_t device_bytes);
// Saves the old contents of `blocks` (each once, in the order given) and
// flushes them, before the run's first write: the blocks of its write plan.
// Without an undo file it does nothing.
int undo_save_blocks(const std::vector<std::uint32_t> &blocks);
// Called by every block write with an undo file: records the hash of the new
// contents and flushes it before the write is issued, unless it was
// recorded already (undo_record_planned_writes); refuses a block that was
// not saved.
int undo_note_write(const std::uint8_t *buffer, std::uint32_t block);
// Before the blocks are saved: the undo file also takes the blocks that hold
// bytes [byte, byte + count) of the whole device (a partition table's block
// outside the volume).  The file then counts blocks from the device's start,
// which needs a volume that starts on a multiple of its block size.
int undo_add_device_bytes(std::uint64_t byte, std::uint32_t count);
// undo_note_write for block `block` counted from the device's start
int undo_note_device_write(const std::uint8_t *buffer, std::uint64_t block);
// true while the run keeps an undo file
bool undo_recording();
// Before any of them is written: records the hashes of the new contents of
// `count` blocks (`contents` holds them one after another, a block each) and
// flushes the undo file once.  Those writes need no record of their own
// then.  Refuses a block that was not saved.
int undo_record_planned_writes(const std::uint32_t *blocks, const std::uint8_t *contents, std::size_t count);
// Ends the undo file after the run: an end record, or, when nothing was
// written, no file at all.
int undo_finish();
// Puts the old contents saved in the undo file `path` back on the open
// device of `device_bytes` bytes.  Refuses when the file is damaged or was
// written for a device of another size, and, unless `force`, when a block
// holds neither its old contents nor contents that the run wrote.  With
// `dry_run` only the tests are made.
int restore_volume(const char *path, std::uint64_t device_bytes, bool force, bool dry_run);

// ---------------------------------------------------------------------------
// Partition tables (the Rigid Disk Block).  The table lies in one of the
// first 16 sectors of the device; its partitions are listed in a chain of
// PART blocks.  Table blocks are read through the guarded read path with the
// whole device as the limit, whatever partition the session is narrowed to.

constexpr std::uint32_t max_partitions = 128;
constexpr std::uint32_t drive_name_room = 31;
constexpr std::uint32_t part_bootable = 1, part_no_mount = 2;

struct PartitionInfo {
    std::uint32_t number;  // 1 for the first in the table's list
    std::uint32_t block;   // its PART block, in the table's block size
    std::uint32_t name_length;
    std::uint8_t name[drive_name_room];
    char name_text[4 * drive_name_room + 1];  // printable, with \xNN escapes
    std::uint32_t dos_type;
    std::uint32_t flags;  // part_bootable, part_no_mount
    std::uint64_t first_byte, end_byte;  // on the device; end_byte exclusive
    std::uint32_t block_size;
    std::uint32_t reserved_blocks;
};

struct PartitionTable {
    // byte of the device where the table's sectors and blocks count from: 0,
    // or the start of the MBR partition of type 0x76 that holds the table
    std::uint64_t base_byte;
    std::uint32_t mbr_partition;  // that MBR partition's number (1 to 4), or 0
    std::uint32_t rdsk_sector;  // 512-byte sector of the RDSK block
    std::uint32_t block_bytes;  // size of the table's blocks
    std::uint32_t count;
    PartitionInfo part[max_partitions];
};

// The MBR partition of type 0x76 (an Amiga partition table inside a PC one,
// as on the SD cards of Amiga accelerators) in `sector0`: its number (1 to
// 4, the first such primary entry) with its start and length in bytes, or 0
// when sector 0 holds no MBR or the MBR no such entry.  An entry that is
// empty or reaches past the end of the device of `device_bytes`: -1, after a
// message when `report`.
int find_mbr_amiga_partition(const std::uint8_t *sector0, std::uint64_t device_bytes, std::uint64_t &first,
                             std::uint64_t &length, bool report);
// true when one of the first 16 sectors of the device, or of an MBR
// partition of type 0x76, holds a sound RDSK block; prints nothing
bool has_partition_table(std::uint64_t device_bytes);
// Reads and checks the whole table; a fault of any kind gets one message
// and result 1.  Overlapping partitions are no fault (see report_overlaps).
int read_partition_table(PartitionTable &table, std::uint64_t device_bytes);
// Reports every pair of partitions that overlap (or, with `number` ≠ 0, every
// pair that includes partition `number`); returns the count of pairs.
std::uint32_t report_overlaps(const PartitionTable &table, std::uint32_t number);
// The DOS type as text: letters as they are, values 0 .. 9 as \0 .. \9,
// anything else as \xNN; `text` has room for 17 bytes.
void dos_type_text(std::uint32_t dos_type, char *text);
// The listing of --partitions: a header line and one line per partition.
int print_partitions(std::uint64_t device_bytes);
// Narrow the session to partition `which` (its number or its drive name,
// compared without regard to case): partition_offset is set and
// `device_bytes` becomes the partition's length; its block size and
// reserved blocks become the defaults, unless given on the command line.
// The checker's refuses a partition of another filesystem; the formatter's
// also takes the variant from the partition's DOS type when no variant
// option was given, and refuses a type or options that name another one.
int select_check_partition(const char *which, std::uint64_t &device_bytes, bool size_given, bool reserve_given);
// A partition whose table names no filesystem (DosType 0 or "LNX\0", as
// GNU parted writes them), or with `force` any other, is formatted with the
// variant of the options, and its PART block gets that DOS type.
int select_format_partition(const char *which, std::uint64_t &device_bytes, bool size_given, bool reserve_given,
                            bool force = false);
// true when the formatter will write the DOS type into the PART block of its
// partition: the block's byte on the device and its size
bool partition_retype_pending(std::uint64_t &byte, std::uint32_t &size);
// Writes the DOS type of the volume made into the PART block (when one is
// pending), reseals it and flushes it, after the undo file has its hash.
int write_partition_type();

// ---------------------------------------------------------------------------
// Command-line options that both programs read alike

// The number of the option -b, -s or -r (`key`, the option's letter), read
// by parse_number; the one of -s must also be a block size ("invalid block
// size").  Both programs refuse a number before they open the device: result
// 1, after the message.  Any other key gives 0 and leaves `value` alone.
int parse_number_option(int key, const char *text, std::int64_t &value);

// the key of --partitions, which has no letter
constexpr int partitions_key = 0x1301;

// the entries of both programs' option tables for -v, -r, -z and --partitions
struct argp_option;
extern const argp_option verbose_option, reserve_option, undo_option, partitions_option;

// What the user asked of a run: the command line of either program.
struct RunOptions {
    const char *device_path = nullptr;
    const char *volume_name = nullptr;  // the formatter's new volume
    // an open descriptor of `device_bytes` bytes to use instead of opening
    // device_path (the fuzz targets' memory files); -1 for none
    int fd = -1;
    std::uint64_t device_bytes = 0;
    int verbosity = 0;                 // -v, counted
    std::uint32_t options = 0;         // CheckOptions
    std::uint8_t variant = 0;          // the formatter's -o, -i, -d
    std::uint32_t root_block = 0;      // -b
    std::uint32_t block_size = 0;      // -s; 0: not given
    std::uint32_t reserved_blocks = 2; // -r
    bool root_given = false;
    long root_given_value = 0;
    bool reserve_given = false;
    const char *undo_path = nullptr;     // -z
    const char *partition = nullptr;     // -p: a partition's number or drive name
    const char *restore_path = nullptr;  // --restore
    bool list_partitions = false;        // --partitions
};

// Reads option `key` when both programs read it alike: -v, -r, -z, -p and
// --partitions go into `options`; the numbers of -b, -s and -r are read into
// `value` (see parse_number_option).  0 when the option is taken, 1 when its
// number is refused, 2 for an option that is the program's own (-b and -s
// among them, with their number in `value`).
int take_shared_option(int key, const char *arg, std::int64_t &value, RunOptions &options);

// The checker's whole run: it opens the device (read-only with -n), lists
// the partitions, restores an undo file, or checks the volume (in the
// partition -p names), telling `reporter` what it finds.  Its exit status.
int run_check(const RunOptions &options, Reporter &reporter);
// run_check that leaves `reporter` installed for what the caller does next
// with the walked volume; the caller calls end_report.
int run_check_kept(const RunOptions &options, Reporter &reporter);
// The formatter's whole run: opens the device, lists the partitions or
// formats the volume (in the partition -p names).  Its exit status.
int run_format(const RunOptions &options, Reporter &reporter);
// Frees what a run left (the maps, the walk's record), for callers that run
// several in one process.
void release_session();

// Rewrites the long option `--PREFIX` (and `--PREFIX=value`) in `argv` as
// `--NAME`, before argp reads it: an abbreviation that other long options
// made ambiguous keeps meaning the option it always meant.  Words that are
// the arguments of options in `options`, and everything after "--", stay.
void prefer_long_option(int argc, char **argv, const argp_option *options, const char *prefix, const char *name);

// ---------------------------------------------------------------------------
// The checker's run on a device of `device_sectors` 512-byte sectors, opened
// and with the options in the session: 0 when it completed, 1 when it stopped
// early, refused to write, or a write asked for did not happen.  Every write
// is flushed to the device before the next step.
int check_volume(std::uint64_t device_sectors);

// The formatter's run on a device of `device_bytes` bytes, opened for writing
// and with the options in the session (`root_given`: -b and its number):
// 0 when the volume was written and flushed, 1 when the geometry was refused
// before any write, or a write or flush failed.
int format_volume(std::uint64_t device_bytes, bool root_given, long root_given_value);

// ---------------------------------------------------------------------------
// Writes that the user did not mean

// The formatter's test before its first write: 1, after a message, when the
// device (or, with -p, the partition of `bytes` bytes at partition_offset)
// holds a partition table, a filesystem that libblkid recognises, or the
// root block of an Amiga volume.  `which` is the -p text, or null.
int refuse_format_over_data(std::uint64_t bytes, const char *which);

// The partition table's own blocks on a device with a Rigid Disk Block: the
// RDSK, the PART, bad-block, filesystem header and LoadSeg chains, and the
// blocks that the RDSK reserves for the table.  Read once, after the open of
// a run that writes; from then on every write that touches one is refused.
void protect_partition_table(std::uint64_t device_bytes);
// 1, after a message naming the block and the table, when a write of
// `block` (of the session's size, from partition_offset on) would touch it
int refuse_table_write(std::uint32_t block);
// the same test for every block of a run's plan, before its first write
int refuse_table_writes(const std::uint32_t *blocks, std::size_t count);
bool partition_table_protected();

// Before -w writes, unless forced: 1, after naming the count, when the
// volume's bitmap agrees with the rebuilt map far better at a reserved count
// near the one in use (a wrong -r shifts the whole map)
int refuse_reserved_misfit();
// the same, with `own` the differences that the comparison counted at the
// count in use (after a repair of the tree: those of the repaired tree)
int refuse_reserved_misfit(std::uint64_t own);

// `'%s' is in use by %s`: 1 when a regular file backs a loop device, which
// may be mounted; for the runs that write
int refuse_image_in_use(int fd, const char *path);

// Names and comments of the volume reach a terminal with every control
// character (0x00-0x1F, 0x7F, 0x80-0x9F) shown as '?'; to a pipe or a file
// they go as stored.  Masks the `count` bytes at `text` in place when
// standard output is a terminal.
void mask_for_terminal(char *text, std::size_t count);
