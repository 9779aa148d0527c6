// Test-volume builder: writes Amiga OFS/FFS volume images from a description,
// independently of the tools' own library. A fresh volume comes out exactly as
// the formatter lays it out (root block in the middle, bitmap blocks right
// behind it); directories, files, links and dircache chains can then be grown,
// and single fields damaged, before or after the image is written.
//
// Only blocks that were written are held in memory, so volumes of up to
// 2^32 - 1 blocks are built as sparse image files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tv {

// ---- big-endian helpers and checksums ----------------------------------------
uint32_t get_be32(const uint8_t* p);
void put_be32(uint8_t* p, uint32_t v);
// Wrapping sum of the block's longs; a sound checksummed block sums to 0.
uint32_t block_sum(const uint8_t* blk, uint32_t block_size);
// Stores in long `checksum_long` the value that makes the block sum to 0.
void seal_block(uint8_t* blk, uint32_t block_size, uint32_t checksum_long);

// ---- constants ---------------------------------------------------------------
inline constexpr uint32_t kDos0 = 0x444F5300;  // "DOS" 0 .. 5 are kDos0 + n
inline constexpr uint32_t kDos1 = 0x444F5301;
inline constexpr uint32_t kMuF0 = 0x6D754600;  // "muF" 0 .. 5 are kMuF0 + n
inline constexpr uint32_t kMuFS = 0x6D754653;
inline constexpr uint32_t kTypeShort = 2, kTypeList = 16, kTypeDirCache = 33;

enum class Sec : int32_t { Root = 1, Dir = 2, SoftLink = 3, LinkDir = 4, File = -3, FileLink = -4 };

// OldFormat (data blocks carry a 24-byte header) is every DOS type with an even number.
constexpr bool dos_is_ofs(uint32_t dos) { return (dos & 1) == 0; }
constexpr bool dos_is_intl(uint32_t dos) {
    return dos == kMuFS || (dos & 0xFF) == 2 || (dos & 0xFF) == 3;
}
constexpr bool dos_is_dircache(uint32_t dos) { return (dos & 0xFF) == 4 || (dos & 0xFF) == 5; }

// Byte offsets of the fields in root, header and extension blocks of B bytes.
namespace off {
inline constexpr uint32_t type = 0, header_key = 4, high_seq = 8, table_size = 12, first_data = 16,
                          checksum = 20, table = 24;
constexpr uint32_t table_long(uint32_t i) { return table + 4 * i; }  // hash slot / data pointer i
constexpr uint32_t bitmap_flag(uint32_t B) { return B - 200; }
constexpr uint32_t bitmap_pages(uint32_t B) { return B - 196; }
constexpr uint32_t bitmap_ext(uint32_t B) { return B - 96; }
constexpr uint32_t byte_size(uint32_t B) { return B - 188; }
constexpr uint32_t comment_length(uint32_t B) { return B - 184; }
constexpr uint32_t comment(uint32_t B) { return B - 183; }
constexpr uint32_t date(uint32_t B) { return B - 92; }  // root: root_altered
constexpr uint32_t name_length(uint32_t B) { return B - 80; }
constexpr uint32_t name(uint32_t B) { return B - 79; }
constexpr uint32_t real_entry(uint32_t B) { return B - 44; }      // hard links: their target
constexpr uint32_t volume_altered(uint32_t B) { return B - 40; }  // root only
constexpr uint32_t volume_created(uint32_t B) { return B - 28; }  // root only
constexpr uint32_t next_hash(uint32_t B) { return B - 16; }
constexpr uint32_t parent(uint32_t B) { return B - 12; }
constexpr uint32_t extension(uint32_t B) { return B - 8; }
constexpr uint32_t secondary_type(uint32_t B) { return B - 4; }
// File data pointer k (from 0, in file order) lies at long L - 51 - k.
constexpr uint32_t data_ptr(uint32_t B, uint32_t k) { return B - 204 - 4 * k; }
}  // namespace off

struct Date {
    uint32_t days = 16753, minutes = 1333, ticks = 1000;
};

// The Amiga name hash: slot of `name` in a hash table of `table_size` slots.
// `intl` also folds the Latin-1 letters 0xE0 .. 0xFE (but 0xF7) to upper case.
uint32_t name_hash(std::string_view name, uint32_t table_size, bool intl);

// ---- volume description ------------------------------------------------------
struct VolumeSetup {
    uint32_t block_size = 512;  // 512, 1024, 2048 or 4096
    uint32_t total_blocks = 1760;
    uint32_t reserved_blocks = 2;
    std::optional<uint32_t> root_block{};  // default (total + reserved - 1) / 2
    uint32_t dos_type = kDos1;
    uint32_t bitmap_flag = 0xFFFFFFFF;
    std::string name{};  // volume name, stored as given (up to 255 bytes)
    Date root_altered{}, volume_altered{}, volume_created{};
    std::string boot{};               // block 0 from byte 4 on; the rest is zero
    uint64_t extra_bytes = 0;         // bytes behind the last whole block of the image
    std::optional<uint32_t> payload{};  // data bytes per data block; default by DOS type
    std::optional<bool> intl_hash{};  // default by DOS type: international and dircache ones
};

// Options of one new entry. Block 0 means "take one from the allocator".
struct Opts {
    uint32_t block = 0;                  // header block
    std::optional<uint32_t> slot{};      // hash slot; default: the name's hash
    std::optional<uint32_t> chain_pos{}; // place in the slot's chain (0 = head); default: at the end
    std::string comment{};               // stored as given (up to 255 bytes)
    Date date{};
    std::vector<uint32_t> data{};  // files: the first data block numbers (rest allocated)
    std::vector<uint32_t> ext{};  // files: the first extension block numbers (rest allocated)
};

struct Entry {
    Sec type;
    uint32_t parent;
    std::string name;
    std::vector<uint32_t> data, ext, dircache;  // file data / file extension / dircache blocks
};

// Where the on-disk bitmap keeps the bit of one block.
struct BitPos {
    uint32_t block;  // bitmap block number
    uint32_t off;    // byte offset of the long within that block
    uint32_t mask;   // bit within the long's value
};

// ---- damage: raw access and resealing, on built volumes or on image files ----
class Patcher {
public:
    virtual ~Patcher() = default;
    uint32_t block_size() const { return B_; }
    uint32_t get32(uint32_t block, uint32_t off);
    uint8_t get8(uint32_t block, uint32_t off);
    void put32(uint32_t block, uint32_t off, uint32_t v);
    void put8(uint32_t block, uint32_t off, uint8_t v);
    void put_bytes(uint32_t block, uint32_t off, std::string_view bytes);  // cut at the block end
    uint32_t sum(uint32_t block);                                           // block_sum of the block
    void reseal(uint32_t block, uint32_t checksum_long);
    void reseal_header(uint32_t block) { reseal(block, 5); }
    void reseal_dircache(uint32_t block) { reseal(block, 5); }
    void reseal_bitmap(uint32_t block) { reseal(block, 0); }
    void reseal_bitmaps();  // every bitmap block of the volume
    const std::vector<uint32_t>& bitmap_blocks() const { return bm_; }  // in map order
    std::optional<BitPos> bitmap_pos(uint32_t block) const;  // none for reserved / out of range
    bool disk_used(uint32_t block);                          // on-disk bit is 0
    void set_disk_bit(uint32_t block, bool used, bool reseal = true);

protected:
    Patcher(uint32_t B, uint32_t reserved, uint32_t total) : B_(B), reserved_(reserved), total_(total) {}
    // The block's B bytes; valid until the next call. Writers call commit() after a change.
    virtual uint8_t* access(uint32_t block, bool write) = 0;
    virtual void commit(uint32_t) {}
    uint8_t* checked(uint32_t block, uint32_t off, uint32_t len, bool write);

    uint32_t B_, reserved_, total_;
    std::vector<uint32_t> bm_;  // bitmap blocks in map order
};

class Volume : public Patcher {
public:
    explicit Volume(VolumeSetup setup = {});
    ~Volume() override;

    uint32_t total_blocks() const { return total_; }
    uint32_t reserved_blocks() const { return reserved_; }
    uint32_t root() const { return root_; }
    uint32_t payload() const { return payload_; }
    uint32_t table_size() const { return B_ / 4 - 56; }
    uint32_t hash_slot(std::string_view name) const;
    const std::vector<uint32_t>& bitmap_ext_blocks() const { return bm_ext_; }

    // Tree growth (before finish). `parent` is the root or a directory header;
    // each call returns the new header block.
    uint32_t add_dir(uint32_t parent, std::string_view name, const Opts& o = {});
    uint32_t add_file(uint32_t parent, std::string_view name, uint32_t byte_size, const Opts& o = {});
    uint32_t add_softlink(uint32_t parent, std::string_view name, std::string_view target, const Opts& o = {});
    uint32_t add_hardlink(uint32_t parent, std::string_view name, uint32_t target, const Opts& o = {});
    // Appends n dircache blocks (the first ones from `blocks`) to the chain of the
    // root or a directory; returns the new blocks.
    std::vector<uint32_t> add_dircache(uint32_t dir, uint32_t n, const std::vector<uint32_t>& blocks = {});
    // Fills the data blocks of `file` with bytes made from `seed` (on OFS
    // volumes behind a sound data block header: type 8, the file's key, the
    // sequence number, the data size, the next block, a checksum) and
    // returns the file's contents.  Without it data blocks hold zeros (on
    // OFS volumes behind a sound header, for the blocks the builder chose
    // itself, in files of up to 4096 data blocks).
    std::vector<uint8_t> fill_data(uint32_t file, uint32_t seed);
    uint32_t alloc();              // one more block from the allocator, marked in use
    void mark_used(uint32_t block);  // in the builder's map (before finish)
    bool in_use(uint32_t block) const;

    // Look-ups.
    const Entry* entry(uint32_t header) const;  // null if the builder made no entry there
    uint32_t lookup(std::string_view path) const;  // "dir/sub/file" from the root; 0 = none
    const std::vector<uint32_t>& data_blocks(uint32_t file) const { return must(file).data; }
    const std::vector<uint32_t>& ext_blocks(uint32_t file) const { return must(file).ext; }
    const std::vector<uint32_t>& dircache_blocks(uint32_t dir) const { return must(dir).dircache; }

    // Seals every header, extension and dircache block, writes the bitmap blocks
    // and the root. Damage and output call it on first use; growth is over then.
    void finish();
    void write(const std::string& path);  // total_blocks * B + extra bytes
    std::vector<uint8_t> bytes();         // the whole image, for small volumes

private:
    struct Store;
    uint8_t* access(uint32_t block, bool write) override;
    uint8_t* ptr(uint32_t block);  // a header, extension or dircache block being built
    const Entry& must(uint32_t header) const;
    uint32_t alloc_block(bool tree);
    uint32_t take(uint32_t given);
    uint32_t make_header(uint32_t parent, std::string_view name, Sec type, const Opts& o);
    void link_into(uint32_t parent, uint32_t header, std::string_view name, const Opts& o);
    void require_building() const;

    VolumeSetup setup_;
    uint32_t root_, payload_;
    uint64_t map_bits_;          // blocks from reserved_ to total_ - 1
    std::vector<uint32_t> map_;  // map longs in host order; 1 = free
    uint32_t hint_;
    std::vector<uint8_t> root_buf_;
    std::unique_ptr<Store> store_;
    std::vector<uint32_t> bm_ext_;
    std::unordered_map<uint32_t, Entry> entries_;
    std::unordered_map<uint32_t, std::vector<uint32_t>> tails_;  // directory -> last header per slot
    std::vector<uint32_t> to_seal_;                              // blocks with a checksum at long 5
    std::vector<uint32_t> given_data_;                           // data blocks named by Opts::data
    bool finished_ = false;
};

// An image file on disk, patched in place block by block.
class ImageFile : public Patcher {
public:
    ImageFile(const std::string& path, const Volume& layout);  // geometry and bitmap of `layout`
    ImageFile(const std::string& path, uint32_t block_size);   // raw access only
    ~ImageFile() override;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

private:
    uint8_t* access(uint32_t block, bool write) override;
    void commit(uint32_t block) override;
    int fd_ = -1;
    std::vector<uint8_t> buf_;
};

}  // namespace tv
