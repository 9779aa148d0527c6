// Every volume that the formatter writes is one that the checker finds,
// whatever partial block follows the last whole block of the image.
#include "e2e.h"

#include <gtest/gtest.h>
#include <string>

TEST(RootSearch, FindsEveryFormattedVolumeWhateverTheTrailingBytes)
{
    for (std::uint32_t size : {512u, 1024u, 2048u, 4096u}) {
        for (std::uint32_t blocks : {1760u, 1761u}) {
            for (std::uint32_t trailing = 0; trailing < size; trailing += 512) {
                SCOPED_TRACE(std::to_string(size) + " " + std::to_string(blocks) + " " + std::to_string(trailing));
                std::string image = e2e::sparse_image("search.img", std::uint64_t(blocks) * size + trailing);
                ASSERT_EQ(e2e::plandor({"-s", std::to_string(size), image, "Search"}).status, 0);
                std::uint32_t root = (blocks + 1) / 2;
                e2e::Run r = e2e::vistrel({"-n", "-v", image});
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.out, "root block found at " + std::to_string(root) +
                                     "\ndetected a fast amiga filesystem\n");
            }
        }
    }
}
