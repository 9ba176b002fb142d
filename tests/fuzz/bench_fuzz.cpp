// A libFuzzer target: the input is the text of a bench file, or (when it
// begins "qzsim-state") of a state file for a board of every chip kind.
// Whatever it holds, loading it either sets devices up or names a mistake; it
// never crashes, hangs or leaves the bench half changed.
#include "qzsim/bench_file.hpp"
#include "qzsim/bench_state.hpp"
#include "qzsim/qzsim.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char* const kBoard = R"(
[[device]]
serial = "QZS001"
  [[device.spi]]
  clk = 0
  cs = 1
  sdi = 2
  sdo = 3
  address_bits = 7
  data_bits = 8
  [[device.i2c]]
  scl = 4
  sda_write = 5
  sda_read = 6
  address = 0x50
  [[device.spi_flash]]
  clk = 0
  cs = 7
  sdi = 2
  sdo = 3
  size = 4096
  [[device.i2c_expander]]
  scl = 4
  sda_write = 5
  sda_read = 6
  address = 0x20
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        if (text.rfind("qzsim-state", 0) == 0) {
            qzsim::loadBenchText(kBoard, "board.toml");
            qzsim::loadStateText(text, "fuzz.state");
        } else {
            qzsim::loadBenchText(text, "fuzz.toml");
        }
    } catch (const qzsim::BenchFileError&) {
        // A mistake, named: what a bad file must give.
    } catch (const qzsim::StateError&) {
    }
    qzsim_clear_bench();
    return 0;
}
