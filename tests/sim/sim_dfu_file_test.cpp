// Sample firmware files: their layout, their CRC, and that the program's
// own firmware file reader takes them as written.
#include "dfu_file.h"
#include "sim_dfu_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                 static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(SimDfuFile, CrcIsCrc32WithoutFinalInversion) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(sim::DfuFileCrc(check, sizeof check), ~0xCBF43926u);
}

TEST(SimDfuFile, Layout) {
    const std::vector<uint8_t> body = sim::RandomBytes(333, 5);
    EXPECT_EQ(body, sim::RandomBytes(333, 5));
    EXPECT_NE(body, sim::RandomBytes(333, 6));
    const std::vector<uint8_t> f = sim::BuildDfuFile(body, 0xABCD, 0x1234, "hello");
    ASSERT_EQ(f.size(), 100u + 333u + 16u);
    const size_t suffix = 433;
    EXPECT_EQ(Le32(f, 10), suffix);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16])), "hello");
    EXPECT_EQ(f[16 + 63], 0);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), f.begin() + 100));
    const uint8_t expected_suffix[12] = {0xFF, 0xFF, 0x34, 0x12, 0xCD, 0xAB,
                                         0x00, 0x01, 'U',  'F',  'D',  16};
    EXPECT_TRUE(std::equal(expected_suffix, expected_suffix + 12, f.begin() + suffix));
    EXPECT_EQ(Le32(f, suffix + 12), sim::DfuFileCrc(f.data(), suffix + 12));

    // A 64-character description fills its field without a terminator.
    const std::string long_text(70, 'x');
    const std::vector<uint8_t> g = sim::BuildDfuFile({}, 1, 2, long_text);
    EXPECT_EQ(std::string(g.begin() + 16, g.begin() + 80), std::string(64, 'x'));
    EXPECT_EQ(Le32(g, 10), 100u);
}

TEST(SimDfuFile, MakeDfuWritesAFileTheReaderAccepts) {
    char dir[] = "/tmp/tarnsim_fileXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/fw.dfu";
    const std::string command =
        std::string(TARNSIM_PATH) + " make-dfu --out " + path +
        " --size 1000 --seed 3 --vid 0x0A0B --pid 0x0C0D --desc demo >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    uint16_t vid_pid[2] = {0, 0};
    ASSERT_TRUE(dfufile_Open(path.c_str(), vid_pid));
    EXPECT_EQ(vid_pid[0], 0x0A0B);
    EXPECT_EQ(vid_pid[1], 0x0C0D);
    EXPECT_EQ(dfufile_ImageSize(), 1100u);
    std::vector<uint8_t> image;
    uint8_t chunk[230];
    for (uint16_t n; (n = dfufile_Read(chunk, sizeof chunk)) != 0;) {
        image.insert(image.end(), chunk, chunk + n);
    }
    dfufile_Close();
    const std::vector<uint8_t> expected =
        sim::BuildDfuFile(sim::RandomBytes(1000, 3), 0x0A0B, 0x0C0D, "demo");
    EXPECT_EQ(image, std::vector<uint8_t>(expected.begin(), expected.begin() + 1100));
    std::remove(path.c_str());
    rmdir(dir);
}

} // namespace
