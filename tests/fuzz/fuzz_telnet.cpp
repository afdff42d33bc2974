// Arbitrary bytes as a network server's Telnet stream. Beyond not crashing:
// the client's reading must not depend on how the stream is cut into reads
// (the first input byte picks the cut), it never yields more data than it
// read, and it answers any option at most once however often it is asked.
#include "fuzz_quiet.h"

#include "rfc2217_client.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The largest read the network port makes.
constexpr size_t READ_MAX = 254;

struct Result {
    std::vector<uint8_t> data;
    std::vector<uint8_t> replies;
    Rfc2217Client client;
};

Result run(const uint8_t* stream, size_t size, size_t cut) {
    Result r;
    rfc2217_Start(&r.client);
    uint8_t scratch[RFC2217_SETTINGS_REQUESTS_MAX];
    rfc2217_SettingsRequests(&r.client, scratch);
    rfc2217_PurgeRequest(&r.client, scratch);
    uint8_t buf[READ_MAX];
    for (size_t at = 0; at < size; at += cut) {
        const size_t n = size - at < cut ? size - at : cut;
        std::memcpy(buf, stream + at, n);
        const uint32_t data = rfc2217_Receive(&r.client, buf, static_cast<uint32_t>(n));
        fuzz_Check(data <= n, "more data than was read");
        fuzz_Check(r.client.reply_length <= RFC2217_REPLY_MAX, "reply overflow");
        r.data.insert(r.data.end(), buf, buf + data);
        r.replies.insert(r.replies.end(), r.client.reply, r.client.reply + r.client.reply_length);
        r.client.reply_length = 0;
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_Quiet();
    if (size == 0) {
        return 0;
    }
    const size_t cut = 1 + data[0] % READ_MAX;
    const Result whole = run(data + 1, size - 1, READ_MAX);
    const Result pieces = run(data + 1, size - 1, cut);
    fuzz_Check(whole.data == pieces.data, "data depends on the reads");
    fuzz_Check(whole.replies == pieces.replies, "answers depend on the reads");
    fuzz_Check(whole.client.awaited == pieces.client.awaited &&
                   whole.client.wrong_code == pieces.client.wrong_code &&
                   whole.client.wrong_value == pieces.client.wrong_value &&
                   whole.client.com_port_agreed == pieces.client.com_port_agreed &&
                   whole.client.com_port_refused == pieces.client.com_port_refused,
               "negotiation state depends on the reads");

    // Every answer is IAC DONT/WONT option, each pair at most once.
    const std::vector<uint8_t>& replies = whole.replies;
    fuzz_Check(replies.size() % 3 == 0, "a partial answer");
    bool seen[2][256] = {};
    for (size_t i = 0; i < replies.size(); i += 3) {
        fuzz_Check(replies[i] == TELNET_IAC &&
                       (replies[i + 1] == TELNET_DONT || replies[i + 1] == TELNET_WONT),
                   "an answer that is not a refusal");
        bool& once = seen[replies[i + 1] == TELNET_DONT][replies[i + 2]];
        fuzz_Check(!once, "an option answered twice");
        once = true;
    }
    return 0;
}
