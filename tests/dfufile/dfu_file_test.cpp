// The firmware file reader against files written by the tests.
#include "dfu_file.h"
#include "file_seek.h"
#include "sim_dfu_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string temp_dir() {
    static std::string dir = [] {
        char pattern[] = "/tmp/dfufile_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "");
    }();
    return dir;
}

class RemoveTempDir : public testing::Environment {
  public:
    void TearDown() override {
        std::error_code ignored;
        if (!temp_dir().empty()) {
            std::filesystem::remove_all(temp_dir(), ignored);
        }
    }
};
[[maybe_unused]] testing::Environment* const remove_temp_dir =
    testing::AddGlobalTestEnvironment(new RemoveTempDir);

void put_le16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// How a suffix's CRC is made: over every byte before the CRC field or over
// the image alone, inverted at the end or not; or not matching at all.
enum class Crc { Whole, WholeInverted, Image, ImageInverted, Wrong };

// Puts the signature and a CRC of the given kind into the suffix at `at`.
void seal(std::vector<uint8_t>& bytes, uint32_t at, Crc kind = Crc::Whole) {
    bytes[at + 8] = 'U';
    bytes[at + 9] = 'F';
    bytes[at + 10] = 'D';
    const bool whole = kind == Crc::Whole || kind == Crc::WholeInverted || kind == Crc::Wrong;
    uint32_t crc = sim::DfuFileCrc(bytes.data(), whole ? at + 12 : at);
    if (kind == Crc::WholeInverted || kind == Crc::ImageInverted) {
        crc = ~crc;
    }
    if (kind == Crc::Wrong) {
        crc ^= 0x00010000;
    }
    put_le32(bytes, at + 12, crc);
}

// A file whose image is `image_size` bytes (header included, filled with a
// counting pattern), followed by a sealed suffix carrying vid/pid.
std::vector<uint8_t> dfu_bytes(uint32_t image_size, uint16_t vid, uint16_t pid,
                               const std::string& description = "test image") {
    std::vector<uint8_t> bytes(std::max<size_t>(image_size, DFUFILE_HEADER_SIZE) +
                               DFUFILE_SUFFIX_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    put_le32(bytes, 10, image_size);
    std::fill(bytes.begin() + 16, bytes.begin() + 80, 0);
    std::copy(description.begin(), description.end(), bytes.begin() + 16);
    put_le16(bytes, image_size + 2, pid);
    put_le16(bytes, image_size + 4, vid);
    if (image_size >= DFUFILE_HEADER_SIZE) {
        seal(bytes, image_size);
    }
    return bytes;
}

std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = temp_dir() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        if (!bytes.empty()) { // an empty vector's data() may be null
            std::fwrite(bytes.data(), 1, bytes.size(), f);
        }
        std::fclose(f);
    }
    return path;
}

struct OpenResult {
    bool ok;
    std::string out;
    uint16_t vid_pid[2];
};

OpenResult open_captured(const std::string& path) {
    OpenResult r{};
    r.vid_pid[0] = r.vid_pid[1] = 0xEEEE;
    testing::internal::CaptureStdout();
    r.ok = dfufile_Open(path.c_str(), r.vid_pid);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

std::vector<uint16_t> chunk_sizes(uint16_t maximum) {
    std::vector<uint16_t> sizes;
    std::vector<uint8_t> buffer(maximum + 1u);
    for (int guard = 0; guard < 100000; ++guard) {
        const uint16_t n = dfufile_Read(buffer.data(), maximum);
        sizes.push_back(n);
        if (n == 0) {
            break;
        }
    }
    return sizes;
}

int open_descriptor_count() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++count;
        }
        closedir(d);
    }
    return count;
}

class DfuFileTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(temp_dir().empty()); }
    void TearDown() override { dfufile_Close(); }
};

TEST_F(DfuFileTest, ServesTheImageInChunksUpToTheSuffix) {
    struct Case {
        uint32_t image;
        uint16_t maximum;
        std::vector<uint16_t> chunks;
    };
    const Case cases[] = {
        {500, 230, {230, 230, 40, 0}},
        {460, 230, {230, 230, 0}},
        {100, 230, {100, 0}},
        {101, 100, {100, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("image " + std::to_string(c.image) + " max " + std::to_string(c.maximum));
        const auto bytes = dfu_bytes(c.image, 0x1111, 0x2222);
        const OpenResult r = open_captured(write_file("chunks.dfu", bytes));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(dfufile_ImageSize(), c.image);
        EXPECT_EQ(chunk_sizes(c.maximum), c.chunks);
        EXPECT_FALSE(dfufile_ReadFailed());
    }
}

TEST_F(DfuFileTest, ImageBytesAreTheFileFromOffsetZero) {
    const auto bytes = dfu_bytes(700, 0x0A12, 0x0001);
    ASSERT_TRUE(open_captured(write_file("content.dfu", bytes)).ok);
    std::vector<uint8_t> image;
    uint8_t chunk[230];
    while (const uint16_t n = dfufile_Read(chunk, sizeof chunk)) {
        image.insert(image.end(), chunk, chunk + n);
    }
    EXPECT_EQ(image, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 700));
}

TEST_F(DfuFileTest, PrintsDescriptionAndIdsFromTheSuffix) {
    struct Case {
        const char* name;
        uint32_t image;
        std::string description;
        std::string expected_description;
    };
    const std::string sixty_four(64, 'D');
    const Case cases[] = {
        {"short text", 300, "Release 1.2", "Release 1.2"},
        {"empty text", 300, "", ""},
        {"exactly 64 characters", 300, sixty_four, sixty_four},
        {"control characters escaped", 300, "v2\x1B[2J\nOperation complete\x7F\t\xC3\xA9\\",
         "v2\\x1B[2J\\x0AOperation complete\\x7F\\x09\xC3\xA9\\"},
        // C1 controls as single bytes (CSI 0x9B) and in UTF-8 (CSI, NEL); a
        // 0x9B inside another character ("ě" is C4 9B) is that character.
        {"C1 controls escaped, other characters kept", 300,
         "a\x9B"
         "2J\xC2\x9B"
         "0m\xC2\x85x\xC4\x9B",
         "a\\x9B2J\\xC2\\x9B0m\\xC2\\x85x\xC4\x9B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = dfu_bytes(c.image, 0xBEEF, 0x0C0D, c.description);
        // The header byte after the description is not text.
        bytes[80] = 'X';
        seal(bytes, c.image);
        const OpenResult r = open_captured(write_file("text.dfu", bytes));
        ASSERT_TRUE(r.ok);
        const uint16_t vid = static_cast<uint16_t>(bytes[c.image + 4] | bytes[c.image + 5] << 8);
        const uint16_t pid = static_cast<uint16_t>(bytes[c.image + 2] | bytes[c.image + 3] << 8);
        char ids[64];
        std::snprintf(ids, sizeof ids, "DFU file VID: 0x%04X, PID: 0x%04X\n", vid, pid);
        EXPECT_EQ(r.out, "DFU file: " + c.expected_description + "\n" + ids);
        EXPECT_EQ(r.vid_pid[0], vid);
        EXPECT_EQ(r.vid_pid[1], pid);
    }
}

TEST_F(DfuFileTest, AcceptsOnlySealedFilesWithRoomForTheirHeader) {
    struct Case {
        const char* name;
        uint32_t suffix_at;
        Crc crc;
        bool signature;
        std::string refusal; // the reason line; empty: accepted
    };
    auto damaged = dfu_bytes(300, 0x1234, 0x5678);
    seal(damaged, 300, Crc::Whole);
    const uint32_t good_crc = sim::DfuFileCrc(damaged.data(), 312);
    char crc_reason[96];
    std::snprintf(crc_reason, sizeof crc_reason,
                  "Firmware file: CRC mismatch (file 0x%08X, computed 0x%08X)\n",
                  good_crc ^ 0x00010000u, good_crc);
    const Case cases[] = {
        {"CRC over all before it", 300, Crc::Whole, true, ""},
        {"CRC over all before it, inverted", 300, Crc::WholeInverted, true, ""},
        {"CRC over the image", 300, Crc::Image, true, ""},
        {"CRC over the image, inverted", 300, Crc::ImageInverted, true, ""},
        {"damaged CRC", 300, Crc::Wrong, true, crc_reason},
        {"no signature", 300, Crc::Whole, false, "Firmware file: no DFU suffix signature\n"},
        {"suffix offset 0", 0, Crc::Whole, true,
         "Firmware file: suffix offset 0 lies inside the header\n"},
        {"suffix offset 50, inside the header", 50, Crc::Whole, true,
         "Firmware file: suffix offset 50 lies inside the header\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = dfu_bytes(300, 0x1234, 0x5678);
        put_le32(bytes, 10, c.suffix_at);
        if (c.suffix_at >= 14) { // below, the suffix would overwrite its own offset
            seal(bytes, c.suffix_at, c.crc);
        }
        if (!c.signature) {
            bytes[c.suffix_at + 9] = 'X';
        }
        const OpenResult r = open_captured(write_file("sealed.dfu", bytes));
        EXPECT_EQ(r.ok, c.refusal.empty());
        if (!c.refusal.empty()) {
            EXPECT_EQ(r.out, c.refusal);
        } else {
            EXPECT_EQ(r.out.rfind("DFU file: ", 0), 0u) << r.out;
        }
    }
}

TEST_F(DfuFileTest, FileRewrittenDuringTheDownloadNeverYieldsItsLastChunk) {
    // Larger than stdio's read-ahead, so the rewrite is seen mid-image.
    const uint32_t image = 40000;
    const auto original = dfu_bytes(image, 1, 1, "first");
    const std::string path = write_file("rewritten.dfu", original);
    ASSERT_TRUE(open_captured(path).ok);
    uint8_t chunk[230];
    ASSERT_EQ(dfufile_Read(chunk, 230), 230);
    // Same size, same suffix, one byte of the image changed in place.
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 30000, SEEK_SET);
    std::fputc(original[30000] ^ 0xFF, f);
    std::fclose(f);
    testing::internal::CaptureStdout();
    uint32_t served = 230;
    while (const uint16_t n = dfufile_Read(chunk, 230)) {
        served += n;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Firmware file changed during download\n");
    EXPECT_LT(served, image);
    EXPECT_TRUE(dfufile_ReadFailed());
}

TEST_F(DfuFileTest, RejectsFilesWithoutHeaderOrSuffixWithTheirReason) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string reason;
        bool directory = false; // the path names the test's directory instead
        bool fifo = false;      // the path is a FIFO nobody writes to
    };
    auto suffix_cut = dfu_bytes(300, 1, 2);
    suffix_cut.resize(300 + 15);
    auto beyond_end = dfu_bytes(300, 1, 2);
    put_le32(beyond_end, 10, 5000);
    auto far_beyond_end = dfu_bytes(300, 1, 2);
    put_le32(far_beyond_end, 10, 0xFFFFFFF0u);
    const Case cases[] = {
        {"empty file", {}, "shorter than the 100-byte header"},
        {"header one byte short", std::vector<uint8_t>(99, 0), "shorter than the 100-byte header"},
        {"suffix one byte short", suffix_cut, "ends before its 16-byte suffix (suffix offset 300)"},
        {"suffix offset beyond the end", beyond_end,
         "ends before its 16-byte suffix (suffix offset 5000)"},
        {"suffix offset near 4 GiB", far_beyond_end,
         "ends before its 16-byte suffix (suffix offset 4294967280)"},
        {"a directory", {}, "cannot be read (Is a directory)", true},
        // Refused at once: never waited on for a writer, never read.
        {"a FIFO",
         {},
         "not a regular file (a pipe, FIFO or device cannot be read twice; save it to a file "
         "first)",
         false,
         true},
    };
    const std::string fifo = temp_dir() + "/fifo.dfu";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const OpenResult r = open_captured(c.directory ? temp_dir()
                                           : c.fifo    ? fifo
                                                       : write_file("bad.dfu", c.bytes));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.out, "Firmware file: " + c.reason + "\n");
        EXPECT_EQ(r.vid_pid[0], 0xEEEE);
        uint8_t chunk[230];
        EXPECT_EQ(dfufile_Read(chunk, sizeof chunk), 0);
    }
    unlink(fifo.c_str());
    const OpenResult missing = open_captured(temp_dir() + "/no_such_file.dfu");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.out, "Firmware file: cannot be opened (No such file or directory)\n");
}

TEST_F(DfuFileTest, SuffixOffsetsPastTwoGibibytesAreReached) {
    // Sparse files: only the header and the suffix take space on disk. The
    // seek is checked alone: a whole open would read gibibytes for the CRC.
    for (const uint32_t offset : {0x80000000u, 0x80000010u, 0xFFFFFF00u}) {
        SCOPED_TRACE(offset);
        const std::string path = temp_dir() + "/large.dfu";
        write_file("large.dfu", std::vector<uint8_t>(DFUFILE_HEADER_SIZE, 0));
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const uint8_t suffix[16] = {0, 0, 0x78, 0x56, 0x21, 0x43};
        ASSERT_EQ(pwrite(fd, suffix, sizeof suffix, static_cast<off_t>(offset)), 16);
        close(fd);

        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        uint8_t got[16] = {};
        EXPECT_TRUE(dfufile_SeekTo(f, offset));
        EXPECT_EQ(std::fread(got, sizeof got, 1, f), 1u);
        EXPECT_EQ(std::memcmp(got, suffix, sizeof got), 0);
        std::fclose(f);
        unlink(path.c_str());
    }
}

TEST_F(DfuFileTest, ServedCountRestartsOnEveryOpen) {
    const std::string first = write_file("first.dfu", dfu_bytes(500, 1, 1));
    const std::string second = write_file("second.dfu", dfu_bytes(300, 2, 2));
    ASSERT_TRUE(open_captured(first).ok);
    uint8_t chunk[230];
    ASSERT_EQ(dfufile_Read(chunk, 230), 230);
    ASSERT_TRUE(open_captured(first).ok);
    EXPECT_EQ(chunk_sizes(230), (std::vector<uint16_t>{230, 230, 40, 0}));
    ASSERT_TRUE(open_captured(second).ok);
    EXPECT_EQ(chunk_sizes(230), (std::vector<uint16_t>{230, 70, 0}));
}

TEST_F(DfuFileTest, ReopeningClosesThePreviousFile) {
    const std::string path = write_file("reopen.dfu", dfu_bytes(300, 1, 1));
    ASSERT_TRUE(open_captured(path).ok);
    const int after_first = open_descriptor_count();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(open_captured(path).ok);
    }
    // A rejected file is kept open until the next open or the exit-time close.
    ASSERT_FALSE(open_captured(write_file("short.dfu", std::vector<uint8_t>(10))).ok);
    EXPECT_EQ(open_descriptor_count(), after_first);
    dfufile_Close();
    EXPECT_EQ(open_descriptor_count(), after_first - 1);
    dfufile_Close(); // harmless when already closed
}

TEST_F(DfuFileTest, ReadErrorMidImageIsNotTheEndOfTheImage) {
    // Larger than stdio's read-ahead, so the shrink below is seen mid-image.
    const uint32_t image = 40000;
    const std::string path = write_file("shrinks.dfu", dfu_bytes(image, 1, 1));
    ASSERT_TRUE(open_captured(path).ok);
    uint8_t chunk[230];
    ASSERT_EQ(dfufile_Read(chunk, 230), 230);
    ASSERT_EQ(truncate(path.c_str(), 300), 0);
    testing::internal::CaptureStdout();
    uint32_t served = 230;
    while (const uint16_t n = dfufile_Read(chunk, 230)) {
        served += n;
    }
    const uint16_t after_failure = dfufile_Read(chunk, 230);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Firmware file read error\n");
    EXPECT_LT(served, image);
    EXPECT_EQ(after_failure, 0);
    EXPECT_TRUE(dfufile_ReadFailed());

    // A fresh open starts clean.
    ASSERT_TRUE(open_captured(write_file("fine.dfu", dfu_bytes(300, 1, 1))).ok);
    EXPECT_FALSE(dfufile_ReadFailed());
    EXPECT_EQ(chunk_sizes(230), (std::vector<uint16_t>{230, 70, 0}));
}

} // namespace
