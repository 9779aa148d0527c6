// The formatter's bitmap: a fresh map, and bitmap blocks and bitmap extension
// blocks allocated for it, named from the root block and the extension chain.
#include "internal.h"

#include <cstring>

int create_bitmap()
{
    if (setup_maps() != 0)
        return 1;
    std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i) {
        std::uint32_t b = allocate_block();
        log_verbose(2, "alloc bitmap %d at %d\n", i, b);
        put_tail(root, bitmap_page(i), b);
    }
    if (count <= root_bitmap_pages)
        return 0;

    std::uint32_t ext = allocate_block();
    log_verbose(2, "alloc ext bitmap at %d\n", ext);
    put_tail(root, field::bitmap_ext, ext);
    std::uint32_t remaining = count - root_bitmap_pages;
    std::uint32_t per = ext_pointers_per_block();
    alignas(4) std::uint8_t buffer[max_block_size];
    for (;;) {
        std::memset(buffer, 0, volume.block_size);
        std::uint32_t take = remaining < per ? remaining : per;
        remaining -= take;
        for (std::uint32_t j = 0; j < take; ++j) {
            std::uint32_t b = allocate_block();
            log_verbose(2, "alloc bitmap %d at %d\n", j, b);
            put_long(buffer, 4 * j, b);
        }
        if (remaining == 0)
            return write_block(buffer, ext);
        std::uint32_t next = allocate_block();
        log_verbose(2, "alloc ext bitmap at %d\n", next);
        put_long(buffer, 4 * take, next);
        // store_bitmap reads the chain back: one missing link would send
        // the bitmap blocks behind it to whatever the block held before
        if (write_block(buffer, ext) != 0)
            return 1;
        ext = next;
    }
}
