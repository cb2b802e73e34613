// The stubs' base relocations: the loader may map a stub anywhere (ASLR),
// so every absolute address in its image must be named by the table, and
// nothing else may be. Wine runs a rebased stub to a full extraction
// (wine*.rebased); here the table itself is checked.
#include <gtest/gtest.h>

#include "archive/stub_image.h"
#include "archive/stub_info.h"
#include "packer/sfx_builder.h"
#include "tests/pe_rebase.h"
#include "tests/test_util.h"

namespace {

using testutil::Bytes;

struct StubCase {
    const char* path;
    bool plus;
    uint64_t new_base;  // for the PE32+ stub above 4 GB
};

uint64_t read_site(const Bytes& image, size_t at, bool plus)
{
    uint64_t v = load_le32(&image[at]);
    return plus ? v | (uint64_t)load_le32(&image[at + 4]) << 32 : v;
}

TEST(StubRelocations, EveryAddressPointsIntoTheImageWhereverItLoads)
{
    std::vector<StubCase> stubs;
#ifdef DRAVEX_STUB32_PATH
    stubs.push_back({DRAVEX_STUB32_PATH, false, 0x10000000});
    stubs.push_back({DRAVEX_STUB64_PATH, true, 0x7FF612340000ull});
#endif
    if (stubs.empty())
        GTEST_SKIP() << "built without the stubs";
    for (const StubCase& c : stubs) {
        SCOPED_TRACE(c.path);
        Bytes stub = testutil::read_file(c.path);
        testutil::PeRelocations r;
        std::string error;
        ASSERT_TRUE(testutil::read_relocations(stub, r, error)) << error;
        EXPECT_EQ(r.plus, c.plus);
        // DYNAMIC_BASE and NX_COMPAT; HIGH_ENTROPY_VA on the 64-bit twin;
        // and the file header must not say the relocations were stripped.
        const uint16_t wanted = 0x40 | 0x100 | (c.plus ? 0x20 : 0);
        EXPECT_EQ(r.dll_characteristics & wanted, wanted);
        EXPECT_EQ(r.file_characteristics & 1, 0);
        EXPECT_FALSE(r.sites.empty());

        // The self-check reads StubInfo's values from memory and compares
        // them with the file: no address may lie in the record.
        size_t record = find_stub_info(stub.data(), stub.size(), 0);
        ASSERT_LT(record, stub.size());
        for (size_t site : r.site_offsets)
            EXPECT_FALSE(site + (c.plus ? 8 : 4) > record && site < record + STUB_INFO_SIZE)
                << "relocation at file offset " << site << " inside StubInfo";

        Bytes moved = stub;
        ASSERT_TRUE(testutil::rebase_image(moved, c.new_base, error)) << error;
        for (size_t i = 0; i < r.site_offsets.size(); i++) {
            uint64_t before = read_site(stub, r.site_offsets[i], c.plus) - r.image_base;
            uint64_t after = read_site(moved, r.site_offsets[i], c.plus) - c.new_base;
            EXPECT_LT(before, r.size_of_image) << "site RVA " << r.sites[i];
            EXPECT_EQ(after, before) << "site RVA " << r.sites[i];
        }
        testutil::PeRelocations m;
        ASSERT_TRUE(testutil::read_relocations(moved, m, error)) << error;
        EXPECT_EQ(m.image_base, c.new_base);
        // The builder takes the moved stub and seals it as any other.
        Bytes sfx;
        std::vector<std::string> warnings;
        EXPECT_TRUE(packer::build_sfx(moved, Bytes(42, 0), {}, sfx, error, warnings)) << error;
        ASSERT_TRUE(testutil::rebase_image(moved, r.image_base, error)) << error;
        EXPECT_EQ(moved, stub) << "moving back must restore every byte";
    }
}

}  // namespace
