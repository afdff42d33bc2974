// The in-process line: the program's own modules talk to the device on
// virtual time, and the port and clock are given back afterwards.
#include "bcsp_link.h"
#include "dfu_file.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "serial_port.h"
#include "sim_dfu_file.h"
#include "sim_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

void FreshModules() {
    bcsp_Init();
    dfu_TransportInit();
}

TEST(SimLine, LinkComesUpOnVirtualTime) {
    sim::Device dev{sim::DeviceConfig{}};
    sim::InProcessLine line(dev);
    FreshModules();
    ASSERT_TRUE(com_Open("virtual"));
    EXPECT_EQ(line.Opens(), 1u);
    EXPECT_TRUE(dfu_EstablishLink());
    DeviceDescriptor descriptor{};
    ASSERT_TRUE(dfu_GetDeviceDescriptor(&descriptor));
    EXPECT_EQ(dfu_Vid(descriptor), dev.Config().app.Vid());
    EXPECT_TRUE(dev.LinkUp());
    EXPECT_LT(line.NowMs(), 600u);
    EXPECT_GE(line.Purges(), 1u);
    EXPECT_GT(line.BytesWritten(), 0u);
}

TEST(SimLine, TimeOutsCostVirtualTimeOnly) {
    sim::DeviceConfig config;
    config.mute = true;
    sim::Device dev(config);
    const auto start = std::chrono::steady_clock::now();
    {
        sim::InProcessLine line(dev);
        FreshModules();
        ASSERT_TRUE(com_Open("virtual"));
        EXPECT_FALSE(dfu_EstablishLink());
        EXPECT_GE(line.NowMs(), 5000u);
        EXPECT_EQ(plat_TickCount(), line.NowMs());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // The system clock is back: it moves by itself.
    EXPECT_EQ(plat_SystemClock(), plat_SystemClock());
    const uint32_t t0 = plat_TickCount();
    plat_Sleep(2);
    EXPECT_GE(plat_TickCount() - t0, 2u);
}

TEST(SimLine, WholeUpdateDeliversTheImage) {
    char dir[] = "/tmp/tarnsim_lineXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/fw.dfu";
    const std::vector<uint8_t> file = sim::BuildDfuFile(sim::RandomBytes(2000, 11), 1, 2, "line");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));

    struct Case {
        bool paced;
        uint32_t min_ms; // the line time of the image alone, paced
    } cases[] = {{false, 0}, {true, 2100 * 11 * 1000 / 115200}};
    for (const Case& c : cases) {
        sim::Device dev{sim::DeviceConfig{}};
        sim::InProcessLine line(dev, c.paced);
        FreshModules();
        ASSERT_TRUE(com_Open("virtual"));
        ASSERT_TRUE(dfufile_Open(path.c_str(), nullptr));
        ASSERT_TRUE(dfu_Connect());
        ASSERT_TRUE(dfu_EnterIdle());
        ASSERT_TRUE(dfu_DownloadImage());
        dfufile_Close();
        EXPECT_EQ(dev.Image(), std::vector<uint8_t>(file.begin(), file.end() - 16));
        EXPECT_EQ(dev.CompletedUpdates(), 1u);
        EXPECT_GE(line.NowMs(), c.min_ms);
        EXPECT_EQ(dev.Stats().frame_errors, 0u);
    }
    std::remove(path.c_str());
    rmdir(dir);
}

} // namespace
