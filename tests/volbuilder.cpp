#include "volbuilder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace tv {

uint32_t get_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t block_sum(const uint8_t* blk, uint32_t block_size) {
    uint32_t s = 0;
    for (uint32_t i = 0; i < block_size; i += 4) s += get_be32(blk + i);
    return s;
}

void seal_block(uint8_t* blk, uint32_t block_size, uint32_t checksum_long) {
    put_be32(blk + 4 * checksum_long, 0);
    put_be32(blk + 4 * checksum_long, 0u - block_sum(blk, block_size));
}

uint32_t name_hash(std::string_view name, uint32_t table_size, bool intl) {
    uint32_t h = uint32_t(name.size());
    for (unsigned char c : name) {
        bool lower = (c >= 'a' && c <= 'z') || (intl && c >= 0xE0 && c <= 0xFE && c != 0xF7);
        h = (h * 13 + (lower ? c - 32u : c)) & 0x7FF;
    }
    return h % table_size;
}

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("volbuilder: " + what); }
[[noreturn]] void sys_fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), "volbuilder: " + what);
}

// Length byte and bytes of a name or comment: at most 255, cut at the block end.
void put_text(uint8_t* blk, uint32_t B, uint32_t len_off, uint32_t text_off, std::string_view s) {
    size_t n = std::min<size_t>(s.size(), 255);
    blk[len_off] = uint8_t(n);
    std::memcpy(blk + text_off, s.data(), std::min<size_t>(n, B - text_off));
}

void put_date(uint8_t* p, const Date& d) {
    put_be32(p, d.days);
    put_be32(p + 4, d.minutes);
    put_be32(p + 8, d.ticks);
}

}  // namespace

// ---- Patcher -------------------------------------------------------------------

uint8_t* Patcher::checked(uint32_t block, uint32_t off, uint32_t len, bool write) {
    if (uint64_t(off) + len > B_) fail("offset " + std::to_string(off) + " outside the block");
    if (write && block >= total_) fail("block " + std::to_string(block) + " outside the image");
    return access(block, write) + off;
}

uint32_t Patcher::get32(uint32_t block, uint32_t off) { return get_be32(checked(block, off, 4, false)); }
uint8_t Patcher::get8(uint32_t block, uint32_t off) { return *checked(block, off, 1, false); }

void Patcher::put32(uint32_t block, uint32_t off, uint32_t v) {
    put_be32(checked(block, off, 4, true), v);
    commit(block);
}

void Patcher::put8(uint32_t block, uint32_t off, uint8_t v) {
    *checked(block, off, 1, true) = v;
    commit(block);
}

void Patcher::put_bytes(uint32_t block, uint32_t off, std::string_view bytes) {
    uint8_t* p = checked(block, off, 0, true);
    std::memcpy(p, bytes.data(), std::min<size_t>(bytes.size(), B_ - off));
    commit(block);
}

uint32_t Patcher::sum(uint32_t block) { return block_sum(checked(block, 0, B_, false), B_); }

void Patcher::reseal(uint32_t block, uint32_t checksum_long) {
    seal_block(checked(block, 0, B_, true), B_, checksum_long);
    commit(block);
}

void Patcher::reseal_bitmaps() {
    for (uint32_t b : bm_)
        if (b >= reserved_ && b < total_) reseal_bitmap(b);
}

std::optional<BitPos> Patcher::bitmap_pos(uint32_t block) const {
    if (block < reserved_ || block >= total_) return std::nullopt;
    uint64_t k = block - reserved_, bits = uint64_t(B_ - 4) * 8, r = k % bits;
    return BitPos{bm_.at(k / bits), uint32_t(4 + r / 32 * 4), 1u << (r % 32)};
}

bool Patcher::disk_used(uint32_t block) {
    auto pos = bitmap_pos(block);
    if (!pos) fail("block " + std::to_string(block) + " has no bitmap bit");
    return (get32(pos->block, pos->off) & pos->mask) == 0;
}

void Patcher::set_disk_bit(uint32_t block, bool used, bool reseal) {
    auto pos = bitmap_pos(block);
    if (!pos) fail("block " + std::to_string(block) + " has no bitmap bit");
    uint32_t v = get32(pos->block, pos->off);
    put32(pos->block, pos->off, used ? v & ~pos->mask : v | pos->mask);
    if (reseal) reseal_bitmap(pos->block);
}

// ---- sparse block store --------------------------------------------------------

// Blocks live in fixed chunks, so a block's address never changes.
struct Volume::Store {
    static constexpr uint32_t kChunk = 1024;  // blocks per chunk
    explicit Store(uint32_t B) : B(B) {}
    uint8_t* get(uint32_t b) {
        auto it = index.find(b);
        return it == index.end() ? nullptr : at(it->second);
    }
    uint8_t* make(uint32_t b) {  // the block, zeroed when new
        auto [it, added] = index.try_emplace(b, used);
        if (added) {
            if (used % kChunk == 0) chunks.emplace_back(new uint8_t[size_t(kChunk) * B]());
            ++used;
        }
        return at(it->second);
    }
    uint8_t* at(uint32_t slot) { return chunks[slot / kChunk].get() + size_t(slot % kChunk) * B; }
    std::vector<std::pair<uint32_t, uint32_t>> sorted() const {  // (block, slot) by block
        std::vector<std::pair<uint32_t, uint32_t>> v(index.begin(), index.end());
        std::sort(v.begin(), v.end());
        return v;
    }
    uint32_t B, used = 0;
    std::unordered_map<uint32_t, uint32_t> index;
    std::vector<std::unique_ptr<uint8_t[]>> chunks;
};

// ---- Volume: fresh layout ------------------------------------------------------

Volume::Volume(VolumeSetup setup)
    : Patcher(setup.block_size, setup.reserved_blocks, setup.total_blocks), setup_(std::move(setup)) {
    if (B_ != 512 && B_ != 1024 && B_ != 2048 && B_ != 4096) fail("block size " + std::to_string(B_));
    const uint32_t L = B_ / 4;
    // The root block lies in the middle of the volume (64-bit sum: no wrap at 2^32 - 1 blocks).
    root_ = setup_.root_block.value_or(uint32_t((uint64_t(total_) + reserved_ - 1) / 2));
    payload_ = setup_.payload.value_or(dos_is_ofs(setup_.dos_type) ? B_ - 24 : B_);
    if (payload_ == 0) fail("payload 0");
    store_ = std::make_unique<Store>(B_);

    map_bits_ = total_ > reserved_ ? total_ - reserved_ : 0;
    const uint64_t bits = uint64_t(B_ - 4) * 8, nbm = (map_bits_ + bits - 1) / bits;
    map_.assign(nbm * (L - 1), 0xFFFFFFFF);  // bits past the last block stay 1

    uint8_t* boot = store_->make(0);
    put_be32(boot, setup_.dos_type);
    std::memcpy(boot + 4, setup_.boot.data(), std::min<size_t>(setup_.boot.size(), B_ - 4));

    root_buf_.assign(B_, 0);
    uint8_t* r = root_buf_.data();
    put_text(r, B_, off::name_length(B_), off::name(B_), setup_.name);
    put_be32(r + off::type, kTypeShort);
    put_be32(r + off::table_size, table_size());
    put_be32(r + off::bitmap_flag(B_), setup_.bitmap_flag);
    put_date(r + off::date(B_), setup_.root_altered);
    put_date(r + off::volume_altered(B_), setup_.volume_altered);
    put_date(r + off::volume_created(B_), setup_.volume_created);
    put_be32(r + off::secondary_type(B_), uint32_t(Sec::Root));
    entries_[root_] = Entry{Sec::Root, 0, "", {}, {}, {}};

    // Bitmap blocks right behind the root, in chain order: the root's 25, then
    // each extension block followed by the bitmap blocks that it lists.
    mark_used(root_);
    hint_ = root_;
    for (uint64_t i = 0; i < std::min<uint64_t>(nbm, 25); ++i) {
        bm_.push_back(alloc_block(false));
        put_be32(r + off::bitmap_pages(B_) + 4 * i, bm_.back());
    }
    if (nbm <= 25) return;
    uint32_t e = alloc_block(false);
    put_be32(r + off::bitmap_ext(B_), e);
    std::vector<uint8_t> ext(B_);
    for (uint64_t remaining = nbm - 25;;) {
        std::fill(ext.begin(), ext.end(), 0);
        bm_ext_.push_back(e);
        uint32_t n = uint32_t(std::min<uint64_t>(L - 1, remaining));
        remaining -= n;
        for (uint32_t j = 0; j < n; ++j) {
            bm_.push_back(alloc_block(false));
            put_be32(ext.data() + 4 * j, bm_.back());
        }
        uint32_t next = remaining ? alloc_block(false) : 0;
        put_be32(ext.data() + 4 * n, next);  // n < L - 1 only in the last block, where next is 0
        if (e >= reserved_ && e < total_) std::memcpy(store_->make(e), ext.data(), B_);
        if (!remaining) break;
        e = next;
    }
}

Volume::~Volume() = default;

// ---- allocation ------------------------------------------------------------------

void Volume::mark_used(uint32_t block) {
    require_building();
    if (block >= reserved_ && block < total_) map_[(block - reserved_) >> 5] &= ~(1u << ((block - reserved_) & 31));
}

bool Volume::in_use(uint32_t block) const {
    if (block < reserved_ || block >= total_) return true;
    return !(map_[(block - reserved_) >> 5] >> ((block - reserved_) & 31) & 1);
}

// Hands out the first free block from the hint upward, then from just after the
// reserved blocks, and moves the hint to it. Returns 0 when the volume is full.
uint32_t Volume::alloc_block(bool tree) {
    auto scan = [this](uint64_t from, uint64_t to) -> std::optional<uint64_t> {
        while (from < to) {
            uint64_t w = from >> 5;
            uint32_t word = map_[w] & (~0u << (from & 31));
            if (word) {
                uint64_t k = (w << 5) + uint64_t(std::countr_zero(word));
                return k < to ? std::optional(k) : std::nullopt;
            }
            from = (w + 1) << 5;
        }
        return std::nullopt;
    };
    uint64_t start = std::min<uint64_t>(hint_ > reserved_ ? hint_ - reserved_ : 0, map_bits_);
    uint64_t low = tree && reserved_ == 0 ? 1 : 0;  // block 0 never holds a tree block
    auto k = scan(std::max(start, low), map_bits_);
    if (!k) k = scan(low, start);
    if (!k) {
        if (tree) fail("volume full");
        return 0;
    }
    hint_ = uint32_t(reserved_ + *k);
    map_[*k >> 5] &= ~(1u << (*k & 31));
    return hint_;
}

uint32_t Volume::alloc() {
    require_building();
    return alloc_block(true);
}

uint32_t Volume::take(uint32_t given) {
    if (!given) return alloc_block(true);
    mark_used(given);
    return given;
}

// ---- tree growth -------------------------------------------------------------------

void Volume::require_building() const {
    if (finished_) throw std::logic_error("volbuilder: the volume is finished; damage only");
}

uint32_t Volume::hash_slot(std::string_view name) const {
    // dircache volumes fold the Latin-1 letters as international ones do
    bool intl = setup_.intl_hash.value_or(dos_is_intl(setup_.dos_type) || dos_is_dircache(setup_.dos_type));
    return name_hash(name.substr(0, 255), table_size(), intl);
}

uint8_t* Volume::ptr(uint32_t block) {
    if (block == root_) return root_buf_.data();
    uint8_t* p = store_->get(block);
    if (!p) fail("block " + std::to_string(block) + " holds nothing");
    return p;
}

const Entry* Volume::entry(uint32_t header) const {
    auto it = entries_.find(header);
    return it == entries_.end() ? nullptr : &it->second;
}

const Entry& Volume::must(uint32_t header) const {
    const Entry* e = entry(header);
    if (!e) fail("no entry at block " + std::to_string(header));
    return *e;
}

uint32_t Volume::lookup(std::string_view path) const {
    uint32_t cur = root_;
    while (!path.empty()) {
        size_t cut = path.find('/');
        std::string_view name = path.substr(0, cut);
        path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
        uint32_t found = 0;
        for (const auto& [block, e] : entries_)
            if (e.parent == cur && e.name == name && block != root_) found = block;
        if (!found) return 0;
        cur = found;
    }
    return cur;
}

// Puts `header` into the parent's hash table: into its slot's next_hash chain,
// at the end unless a place is chosen.
void Volume::link_into(uint32_t parent, uint32_t header, std::string_view name, const Opts& o) {
    uint32_t slot = o.slot.value_or(hash_slot(name));
    if (slot >= table_size()) fail("hash slot " + std::to_string(slot));
    auto& tails = tails_[parent];
    if (tails.empty()) tails.assign(table_size(), 0);
    uint8_t* head = ptr(parent) + off::table_long(slot);
    uint32_t first = get_be32(head), nh = off::next_hash(B_);
    if (!first) {
        put_be32(head, header);
        tails[slot] = header;
    } else if (o.chain_pos && *o.chain_pos == 0) {
        put_be32(ptr(header) + nh, first);
        put_be32(head, header);
    } else if (o.chain_pos) {
        uint32_t prev = first;
        for (uint32_t i = 1; i < *o.chain_pos && prev != tails[slot]; ++i) prev = get_be32(ptr(prev) + nh);
        put_be32(ptr(header) + nh, get_be32(ptr(prev) + nh));
        put_be32(ptr(prev) + nh, header);
        if (prev == tails[slot]) tails[slot] = header;
    } else {
        put_be32(ptr(tails[slot]) + nh, header);
        tails[slot] = header;
    }
}

uint32_t Volume::make_header(uint32_t parent, std::string_view name, Sec type, const Opts& o) {
    require_building();
    const Entry* pe = entry(parent);
    if (!pe || (pe->type != Sec::Dir && pe->type != Sec::Root)) fail("parent " + std::to_string(parent) + " is no directory");
    if (o.block == root_ || (o.block && o.block >= total_)) fail("header block " + std::to_string(o.block));
    uint32_t h = take(o.block);
    uint8_t* p = store_->make(h);
    std::memset(p, 0, B_);
    // Text first: the fixed fields win where an over-long name or comment reaches them.
    put_text(p, B_, off::comment_length(B_), off::comment(B_), o.comment);
    put_text(p, B_, off::name_length(B_), off::name(B_), name);
    put_be32(p + off::type, kTypeShort);
    put_be32(p + off::header_key, h);
    put_date(p + off::date(B_), o.date);
    put_be32(p + off::next_hash(B_), 0);
    put_be32(p + off::parent(B_), parent);
    put_be32(p + off::extension(B_), 0);
    put_be32(p + off::secondary_type(B_), uint32_t(type));
    entries_[h] = Entry{type, parent, std::string(name), {}, {}, {}};
    to_seal_.push_back(h);
    link_into(parent, h, name, o);
    return h;
}

uint32_t Volume::add_dir(uint32_t parent, std::string_view name, const Opts& o) {
    return make_header(parent, name, Sec::Dir, o);
}

uint32_t Volume::add_file(uint32_t parent, std::string_view name, uint32_t byte_size, const Opts& o) {
    uint32_t h = make_header(parent, name, Sec::File, o);
    put_be32(ptr(h) + off::byte_size(B_), byte_size);
    const uint32_t per = table_size();
    const uint64_t count = (uint64_t(byte_size) + payload_ - 1) / payload_;
    Entry& e = entries_[h];
    e.data.reserve(count);
    // The header holds the first share of data pointers, each extension block the next.
    for (uint32_t cur = h;;) {
        uint32_t share = uint32_t(std::min<uint64_t>(per, count - e.data.size()));
        put_be32(ptr(cur) + off::high_seq, share);
        for (uint32_t k = 0; k < share; ++k) {
            size_t i = e.data.size();
            if (i < o.data.size()) mark_used(o.data[i]), given_data_.push_back(o.data[i]);  // given pointers are kept, even 0
            e.data.push_back(i < o.data.size() ? o.data[i] : alloc_block(true));
            put_be32(ptr(cur) + off::data_ptr(B_, k), e.data.back());
        }
        if (e.data.size() == count) break;
        size_t i = e.ext.size();
        if (i < o.ext.size() && (o.ext[i] == 0 || o.ext[i] >= total_ || o.ext[i] == root_))
            fail("extension block " + std::to_string(o.ext[i]));
        uint32_t next = i < o.ext.size() ? take(o.ext[i]) : alloc_block(true);
        e.ext.push_back(next);
        put_be32(ptr(cur) + off::extension(B_), next);
        uint8_t* x = store_->make(next);
        std::memset(x, 0, B_);
        put_be32(x + off::type, kTypeList);
        put_be32(x + off::header_key, next);
        put_be32(x + off::parent(B_), h);
        put_be32(x + off::secondary_type(B_), uint32_t(Sec::File));
        to_seal_.push_back(next);
        cur = next;
    }
    if (count) put_be32(ptr(h) + off::first_data, e.data.front());
    return h;
}

std::vector<uint8_t> Volume::fill_data(uint32_t file, uint32_t seed) {
    require_building();
    const Entry& e = must(file);
    const uint32_t size = get_be32(ptr(file) + off::byte_size(B_));
    const bool ofs = dos_is_ofs(setup_.dos_type);
    std::vector<uint8_t> contents(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : contents) {
        x = x * 1103515245u + 12345u;
        c = uint8_t(x >> 16);
    }
    for (size_t k = 0; k < e.data.size(); ++k) {
        uint8_t* d = store_->make(e.data[k]);
        std::memset(d, 0, B_);
        const uint64_t from = uint64_t(k) * payload_;
        const uint32_t n = uint32_t(std::min<uint64_t>(payload_, size - from));
        if (ofs) {
            put_be32(d + 0, 8);
            put_be32(d + 4, file);
            put_be32(d + 8, uint32_t(k + 1));
            put_be32(d + 12, n);
            put_be32(d + 16, k + 1 < e.data.size() ? e.data[k + 1] : 0);
            std::memcpy(d + 24, contents.data() + from, n);
            to_seal_.push_back(e.data[k]);
        } else {
            std::memcpy(d, contents.data() + from, n);
        }
    }
    return contents;
}

uint32_t Volume::add_softlink(uint32_t parent, std::string_view name, std::string_view target, const Opts& o) {
    uint32_t h = make_header(parent, name, Sec::SoftLink, o);
    std::memcpy(ptr(h) + off::table, target.data(), std::min<size_t>(target.size(), off::byte_size(B_) - off::table));
    return h;
}

uint32_t Volume::add_hardlink(uint32_t parent, std::string_view name, uint32_t target, const Opts& o) {
    const Entry* te = entry(target);
    if (!te || te->type == Sec::Root) fail("link target " + std::to_string(target));
    uint32_t h = make_header(parent, name, te->type == Sec::Dir ? Sec::LinkDir : Sec::FileLink, o);
    put_be32(ptr(h) + off::real_entry(B_), target);
    return h;
}

std::vector<uint32_t> Volume::add_dircache(uint32_t dir, uint32_t n, const std::vector<uint32_t>& blocks) {
    require_building();
    must(dir);
    Entry& d = entries_.at(dir);
    if (d.type != Sec::Dir && d.type != Sec::Root) fail("dircache for a non-directory");
    std::vector<uint32_t> made;
    for (uint32_t i = 0; i < n; ++i) {
        if (i < blocks.size() && (blocks[i] == 0 || blocks[i] >= total_ || blocks[i] == root_))
            fail("dircache block " + std::to_string(blocks[i]));
        uint32_t b = i < blocks.size() ? take(blocks[i]) : alloc_block(true);
        uint8_t* p = store_->make(b);
        std::memset(p, 0, B_);
        put_be32(p + 0, kTypeDirCache);
        put_be32(p + 4, b);
        put_be32(p + 8, dir);
        if (d.dircache.empty())
            put_be32(ptr(dir) + off::extension(B_), b);
        else
            put_be32(ptr(d.dircache.back()) + 16, b);
        d.dircache.push_back(b);
        made.push_back(b);
        to_seal_.push_back(b);
    }
    return made;
}

// ---- finishing and output ----------------------------------------------------------

void Volume::finish() {
    if (finished_) return;
    finished_ = true;
    if (dos_is_ofs(setup_.dos_type)) {
        // OFS data blocks the builder chose itself, not written yet, get a
        // sound header before zeros
        std::sort(given_data_.begin(), given_data_.end());
        for (auto& [h, e] : entries_) {
            if (e.type != Sec::File || e.data.size() > 4096) continue;
            const uint32_t size = get_be32(store_->get(h) + off::byte_size(B_));
            for (size_t k = 0; k < e.data.size(); ++k) {
                uint32_t b = e.data[k];
                if (b < reserved_ || b >= total_ || store_->get(b) ||
                    std::binary_search(given_data_.begin(), given_data_.end(), b))
                    continue;
                uint8_t* d = store_->make(b);
                put_be32(d + 0, 8);
                put_be32(d + 4, h);
                put_be32(d + 8, uint32_t(k + 1));
                put_be32(d + 12, uint32_t(std::min<uint64_t>(payload_, size - uint64_t(k) * payload_)));
                put_be32(d + 16, k + 1 < e.data.size() ? e.data[k + 1] : 0);
                to_seal_.push_back(b);
            }
        }
    }
    for (uint32_t b : to_seal_) seal_block(store_->get(b), B_, 5);
    const uint32_t L = B_ / 4;
    for (size_t i = 0; i < bm_.size(); ++i) {
        if (bm_[i] < reserved_ || bm_[i] >= total_) continue;  // a full volume left no block for it
        uint8_t* p = store_->make(bm_[i]);
        for (uint32_t j = 0; j < L - 1; ++j) put_be32(p + 4 + 4 * j, map_[i * (L - 1) + j]);
        seal_block(p, B_, 0);
    }
    seal_block(root_buf_.data(), B_, 5);
    if (root_ >= reserved_ && root_ < total_) std::memcpy(store_->make(root_), root_buf_.data(), B_);
    std::vector<uint32_t>().swap(to_seal_);
}

uint8_t* Volume::access(uint32_t block, bool write) {
    finish();
    if (write) return store_->make(block);
    uint8_t* p = store_->get(block);
    if (p) return p;
    static const std::vector<uint8_t> zero(4096, 0);
    return const_cast<uint8_t*>(zero.data());  // read-only use
}

void Volume::write(const std::string& path) {
    finish();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) sys_fail("open " + path);
    auto close_fd = [fd] { ::close(fd); };
    if (::ftruncate(fd, off_t(uint64_t(total_) * B_ + setup_.extra_bytes)) != 0) {
        close_fd();
        sys_fail("ftruncate " + path);
    }
    // Stored blocks go out in runs of up to 1 MiB, one pwrite each; a gap of up
    // to 64 KiB between two stored blocks is written as zeros within the run.
    std::vector<uint8_t> run;
    run.reserve((1u << 20) + (1u << 16) + B_);
    uint64_t run_start = 0;
    auto flush = [&] {
        size_t done = 0;
        while (done < run.size()) {
            ssize_t n = ::pwrite(fd, run.data() + done, run.size() - done, off_t(run_start * B_ + done));
            if (n <= 0) {
                close_fd();
                sys_fail("pwrite " + path);
            }
            done += size_t(n);
        }
        run.clear();
    };
    for (auto [block, slot] : store_->sorted()) {
        if (block >= total_) continue;
        uint64_t at = (block - run_start) * B_;  // where the block would go in the run
        if (!run.empty() && (at > run.size() + (1u << 16) || run.size() >= (1u << 20))) flush();
        if (run.empty()) run_start = block, at = 0;
        run.resize(at);
        run.insert(run.end(), store_->at(slot), store_->at(slot) + B_);
    }
    flush();
    if (::close(fd) != 0) sys_fail("close " + path);
}

std::vector<uint8_t> Volume::bytes() {
    finish();
    uint64_t size = uint64_t(total_) * B_ + setup_.extra_bytes;
    if (size > (uint64_t(1) << 31)) fail("image too large for memory");
    std::vector<uint8_t> img(size, 0);
    for (auto [block, slot] : store_->sorted())
        if (block < total_) std::memcpy(img.data() + uint64_t(block) * B_, store_->at(slot), B_);
    return img;
}

// ---- ImageFile ---------------------------------------------------------------------

ImageFile::ImageFile(const std::string& path, const Volume& layout)
    : ImageFile(path, layout.block_size()) {
    reserved_ = layout.reserved_blocks();
    bm_ = layout.bitmap_blocks();
}

ImageFile::ImageFile(const std::string& path, uint32_t block_size) : Patcher(block_size, 0, 0), buf_(block_size) {
    fd_ = ::open(path.c_str(), O_RDWR);
    if (fd_ < 0) sys_fail("open " + path);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) sys_fail("stat " + path);
    total_ = uint32_t(std::min<uint64_t>(uint64_t(st.st_size) / block_size, 0xFFFFFFFF));
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

uint8_t* ImageFile::access(uint32_t block, bool) {
    std::fill(buf_.begin(), buf_.end(), 0);
    if (::pread(fd_, buf_.data(), B_, off_t(uint64_t(block) * B_)) < 0) sys_fail("pread");
    return buf_.data();
}

void ImageFile::commit(uint32_t block) {
    if (::pwrite(fd_, buf_.data(), B_, off_t(uint64_t(block) * B_)) != ssize_t(B_)) sys_fail("pwrite");
}

}  // namespace tv
