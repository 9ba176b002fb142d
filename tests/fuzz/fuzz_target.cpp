// A libFuzzer target: the input's header chooses a function of one family
// (QZ_FUZZ_FAMILY), a descriptor shape, arguments and a driver fault; the rest
// of the input is the read-back the device returns.
#include "driver_fuzz.hpp"
#include "fuzz_case.hpp"

#include "QZ_FTDI.h"

#include <cstdio>
#include <cstdlib>

namespace {

void* openFuzzDevice() {
    void* dev = nullptr;
    if (setupFTDIdev(&dev, "FUZZ0001", 1000000) != 0) {
        std::fprintf(stderr, "cannot open the fuzz device\n");
        std::abort();
    }
    return dev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static void* const dev = openFuzzDevice();
    const qzfuzz::Case c = qzfuzz::decode(data, size);
    const std::size_t header = size < qzfuzz::kHeaderSize ? size : qzfuzz::kHeaderSize;
    qzfuzz::feedDriver(data + header, size - header, c.fill, c.faultCall, c.fault);
    qzfuzz::run(static_cast<qzfuzz::Family>(QZ_FUZZ_FAMILY), c, dev);
    return 0;
}
