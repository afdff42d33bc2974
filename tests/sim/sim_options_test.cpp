// tarnsim's command line: options reach the device configuration, bad ones
// are refused with a message naming them and exit status 2.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

bool Parse(std::vector<const char*> args, sim::CommandLine* out, std::string* error) {
    args.insert(args.begin(), "tarnsim");
    return sim::ParseCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(SimOptions, DefaultsAreAHealthyApplication) {
    sim::CommandLine cl;
    std::string error;
    ASSERT_TRUE(Parse({}, &cl, &error));
    const sim::DeviceConfig& d = cl.run.device;
    EXPECT_EQ(cl.command, sim::Command::Run);
    EXPECT_EQ(d.start_state, sim::STATE_APP_IDLE);
    EXPECT_TRUE(d.app.attributes & sim::ATTR_WILL_DETACH);
    EXPECT_TRUE(d.dfu.attributes & sim::ATTR_CAN_DOWNLOAD);
    EXPECT_TRUE(d.reliable_replies);
    EXPECT_TRUE(d.ack_reset_request);
    EXPECT_FALSE(d.paced);
    EXPECT_EQ(d.error_at_block, -1);
}

TEST(SimOptions, OptionsReachTheConfiguration) {
    sim::CommandLine cl;
    std::string error;
    ASSERT_TRUE(Parse({"--start",
                       "error",
                       "--vid=0x1234",
                       "--dfu-pid",
                       "77",
                       "--no-will-detach",
                       "--dfu-transfer-size",
                       "64",
                       "--busy-answers",
                       "3",
                       "--manifest-state",
                       "8",
                       "--no-reset-ack",
                       "--unreliable-replies",
                       "--error-at-block",
                       "5",
                       "--drop-reply",
                       "2",
                       "--drop-reply",
                       "9",
                       "--rx-corrupt-rate",
                       "0.25",
                       "--seed",
                       "99",
                       "--paced",
                       "--updates",
                       "2",
                       "--image-out",
                       "img.bin",
                       "--app-descriptor",
                       "0C0110010000341278560001"},
                      &cl, &error))
        << error;
    const sim::DeviceConfig& d = cl.run.device;
    EXPECT_EQ(d.start_state, sim::STATE_ERROR);
    EXPECT_EQ(d.dfu.Vid(), 0x1234);
    EXPECT_EQ(d.dfu.Pid(), 77);
    EXPECT_EQ(d.app.Vid(), 0x1234);
    EXPECT_EQ(d.app.Pid(), 0x5678); // the descriptor came later and wins
    EXPECT_FALSE(d.app.attributes & sim::ATTR_WILL_DETACH);
    EXPECT_EQ(d.dfu.transfer_size, 64);
    EXPECT_EQ(d.app.transfer_size, 230);
    EXPECT_EQ(d.busy_answers, 3u);
    EXPECT_EQ(d.manifest_final_state, 8);
    EXPECT_FALSE(d.ack_reset_request);
    EXPECT_FALSE(d.reliable_replies);
    EXPECT_EQ(d.error_at_block, 5);
    EXPECT_EQ(d.faults.drop_reply, (std::vector<uint32_t>{2, 9}));
    EXPECT_DOUBLE_EQ(d.faults.rx_corrupt_rate, 0.25);
    EXPECT_EQ(d.faults.seed, 99u);
    EXPECT_TRUE(d.paced);
    EXPECT_EQ(cl.run.updates, 2u);
    EXPECT_EQ(cl.run.image_out, "img.bin");
}

TEST(SimOptions, BadOptionsAreRefusedByName) {
    const std::vector<std::vector<const char*>> bad = {
        {"--frobnicate"},
        {"stray"},
        {"--updates"},
        {"--updates", "-1"},
        {"--updates", "ten"},
        {"--vid", "0x10000"},
        {"--start", "sleeping"},
        {"--start", "11"},
        {"--manifest-state", "7"},
        {"--rx-drop-rate", "1.5"},
        {"--drop-reply", "0"},
        {"--paced=yes"},
        {"--app-descriptor", "0C01"},
        {"--error-status", "0"},
        {"make-dfu", "--size", "10"},
        {"make-dfu", "--out", "f", "--seed", "1", "--from", "raw"},
        {"make-dfu", "--out", "f"},
        {"make-dfu", "--out", "f", "--size", "1", "--desc",
         "01234567890123456789012345678901234567890123456789012345678901234"},
    };
    for (const std::vector<const char*>& args : bad) {
        sim::CommandLine cl;
        std::string error;
        EXPECT_FALSE(Parse(args, &cl, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
        const std::string name = std::string(args[0]).substr(0, std::string(args[0]).find('='));
        if (name.rfind("--", 0) == 0) {
            EXPECT_NE(error.find(name), std::string::npos) << error;
        }
    }
}

TEST(SimOptions, TheProgramExitsWithStatusTwoOnBadOptions) {
    for (const char* args : {"--frobnicate", "--updates x", "make-dfu --size 3"}) {
        const std::string command = std::string(TARNSIM_PATH) + " " + args + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string output;
        char buf[256];
        while (fgets(buf, sizeof buf, p)) {
            output += buf;
        }
        const int status = pclose(p);
        ASSERT_TRUE(WIFEXITED(status)) << args;
        EXPECT_EQ(WEXITSTATUS(status), 2) << args;
        EXPECT_EQ(output.rfind("tarnsim: ", 0), 0u) << output;
    }
    FILE* p = popen((std::string(TARNSIM_PATH) + " --help").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string help;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) {
        help += buf;
    }
    EXPECT_EQ(WEXITSTATUS(pclose(p)), 0);
    for (const char* documented :
         {"--updates", "--paced", "--tx-drop-rate", "make-dfu", "--stats"}) {
        EXPECT_NE(help.find(documented), std::string::npos) << documented;
    }
}

} // namespace
