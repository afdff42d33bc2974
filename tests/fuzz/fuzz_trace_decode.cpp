// Any capture file: read as binary or as a hex dump, then decoded both ways
// and guessed, with the raw-bytes column on, by the decoder the trace uses.
#include "sim_capture.h"
#include "trace_wire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    for (sim::CaptureDirection d : {sim::CaptureDirection::Guess, sim::CaptureDirection::FromHost,
                                    sim::CaptureDirection::ToHost}) {
        std::string note;
        sim::DecodeCapture(sim::ParseCapture(content, d, &note), d);
    }
    // The raw input straight into the splitter, hex column on, into a
    // buffer far too small for most lines.
    auto splitter = std::make_unique<WireSplitter>();
    wire_Reset(splitter.get());
    WireContext context{};
    char small[40];
    for (size_t i = 0; i < size; ++i) {
        if (wire_Feed(splitter.get(), data[i])) {
            wire_Describe(splitter.get(), &context, (i & 1) ? WIRE_TO_HOST : WIRE_TO_DEVICE, true,
                          small, sizeof small);
        }
    }
    return 0;
}
