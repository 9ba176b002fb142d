// A libFuzzer target: the input is the text of a bench file. Whatever it
// holds, loading it either sets devices up or names a mistake; it never
// crashes, hangs or leaves the bench half changed.
#include "qzsim/bench_file.hpp"
#include "qzsim/qzsim.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        qzsim::loadBenchText(text, "fuzz.toml");
    } catch (const qzsim::BenchFileError&) {
        // A mistake, named: what a bad file must give.
    }
    qzsim_clear_bench();
    return 0;
}
