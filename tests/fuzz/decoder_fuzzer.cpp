// libFuzzer entry: one input is one acquisition, run to its end on the fuzzing thread.
#include <cstddef>
#include <cstdint>

#include "decoder_session.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::decoder_session session(data, size);
    session.run();
    return 0;
}
