// The buffering of serial_port.cpp over an in-memory line that records
// every OS call it is asked to make.
#include "serial_backend.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

struct FakeLine {
    std::vector<std::vector<uint8_t>> writes;
    std::deque<std::vector<uint8_t>> pending_reads; // one entry per OS read
    std::vector<uint32_t> read_requests;            // `max` of every read call
    int purges = 0;
};
FakeLine line;

bool fake_open(const char*) {
    return true;
}
uint32_t fake_read(uint8_t* buf, uint32_t max) {
    line.read_requests.push_back(max);
    if (line.pending_reads.empty()) {
        return 0;
    }
    const std::vector<uint8_t> chunk = line.pending_reads.front();
    line.pending_reads.pop_front();
    const uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(chunk.size()));
    std::copy(chunk.begin(), chunk.begin() + n, buf);
    return n;
}
void fake_write(const uint8_t* buf, uint32_t len) {
    line.writes.emplace_back(buf, buf + len);
}
void fake_purge() {
    ++line.purges;
}
void fake_close() {}
bool fake_wait(uint32_t) {
    return !line.pending_reads.empty();
}
const ComPortOps fake_ops = {fake_open, fake_read, fake_write, fake_purge, fake_close, fake_wait};

std::vector<uint8_t> counting(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(start + i);
    }
    return bytes;
}

class SerialBufferTest : public testing::Test {
  protected:
    void SetUp() override {
        line = FakeLine{};
        com_SetOps(&fake_ops);
    }
    void TearDown() override { com_SetOps(nullptr); }

    std::vector<uint8_t> drain_input() {
        std::vector<uint8_t> got;
        uint8_t b = 0;
        while (com_GetByte(&b)) {
            got.push_back(b);
        }
        return got;
    }
};

TEST_F(SerialBufferTest, OutputGoesOutWhenFullOrFlushed) {
    struct Case {
        const char* name;
        size_t puts;
        bool flush;
        std::vector<size_t> write_sizes;
    };
    const Case cases[] = {
        {"nothing, flushed", 0, true, {}},
        {"255 bytes wait for a flush", 255, false, {}},
        {"the 256th byte writes all at once", 256, false, {256}},
        {"the 257th starts a new buffer", 257, false, {256}},
        {"flush sends the rest", 257, true, {256, 1}},
        {"a frame, flushed", 17, true, {17}},
        {"two full buffers", 512, true, {256, 256}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        com_SetOps(&fake_ops);
        line = FakeLine{};
        const auto bytes = counting(c.puts, 0x40);
        for (const uint8_t b : bytes) {
            com_PutByte(b);
        }
        if (c.flush) {
            com_Flush();
            com_Flush(); // a second flush has nothing left to write
        }
        std::vector<size_t> sizes;
        std::vector<uint8_t> sent;
        for (const auto& w : line.writes) {
            sizes.push_back(w.size());
            sent.insert(sent.end(), w.begin(), w.end());
        }
        EXPECT_EQ(sizes, c.write_sizes);
        EXPECT_EQ(sent, std::vector<uint8_t>(bytes.begin(), bytes.begin() + sent.size()));
    }
}

TEST_F(SerialBufferTest, InputIsFetchedInReadsOfAtMost254) {
    line.pending_reads = {counting(254, 1), counting(3, 100)};
    const auto got = drain_input();
    auto expected = counting(254, 1);
    const auto tail = counting(3, 100);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, expected);
    // One OS read per block, then one that found nothing; each asks for 254.
    EXPECT_EQ(line.read_requests, (std::vector<uint32_t>{254, 254, 254}));
}

TEST_F(SerialBufferTest, NothingArrivedLeavesTheOutputAlone) {
    uint8_t b = 0x5A;
    EXPECT_FALSE(com_GetByte(&b));
    EXPECT_EQ(b, 0x5A);
    EXPECT_EQ(line.read_requests.size(), 1u);
    line.pending_reads = {{0x00}};
    EXPECT_TRUE(com_GetByte(&b));
    EXPECT_EQ(b, 0x00);
    EXPECT_FALSE(com_GetByte(&b));
}

TEST_F(SerialBufferTest, PurgeDropsBothBuffersAndTheOsQueues) {
    line.pending_reads = {counting(10, 1), {0x77}};
    uint8_t b = 0;
    ASSERT_TRUE(com_GetByte(&b)); // nine bytes still read ahead
    for (int i = 0; i < 20; ++i) {
        com_PutByte(0xAA);
    }
    com_Purge();
    EXPECT_EQ(line.purges, 1);
    EXPECT_TRUE(line.writes.empty());
    com_Flush();
    EXPECT_TRUE(line.writes.empty()); // the purged output is never written
    EXPECT_EQ(drain_input(), std::vector<uint8_t>{0x77});
}

TEST_F(SerialBufferTest, ReplacingTheOperationsEmptiesBothBuffers) {
    line.pending_reads = {counting(10, 1)};
    uint8_t b = 0;
    ASSERT_TRUE(com_GetByte(&b));
    com_PutByte(0x11);
    com_SetOps(&fake_ops);
    com_Flush();
    EXPECT_TRUE(line.writes.empty());
    EXPECT_FALSE(com_GetByte(&b));
}

} // namespace
