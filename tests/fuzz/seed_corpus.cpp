// Writes the fuzz targets' seed corpus: real read-backs of correct transfers.
// Each seed is a case header followed by the read-back that the simulated
// bench returned when the library ran that case against a matching virtual
// chip, so the fuzzer starts from inputs that reach the parsers' deepest
// paths (acknowledged frames, whole values) rather than from noise.
//
//   qz_fuzz_seeds <corpus folder>     (one subfolder per target family)
#include "fuzz_case.hpp"

#include "QZ_FTDI.h"
#include "d2xx_driver.hpp"
#include "qzsim/qzsim.h"
#include "sim_d2xx.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The simulated bench, with every byte it hands out as read-back recorded.
class RecordingDriver : public qz::D2xxDriver {
public:
    std::vector<uint8_t> readback;

    FT_STATUS listDevices(void* a, void* b, uint32_t f) override { return sim().listDevices(a, b, f); }
    FT_STATUS createDeviceInfoList(uint32_t* n) override { return sim().createDeviceInfoList(n); }
    FT_STATUS getDeviceInfoDetail(uint32_t i, uint32_t* f, uint32_t* t, uint32_t* id, uint32_t* l,
                                  void* s, void* d, FT_HANDLE* h) override {
        return sim().getDeviceInfoDetail(i, f, t, id, l, s, d, h);
    }
    FT_STATUS openEx(void* a, uint32_t f, FT_HANDLE* h) override { return sim().openEx(a, f, h); }
    FT_STATUS setBaudRate(FT_HANDLE h, uint32_t b) override { return sim().setBaudRate(h, b); }
    FT_STATUS setBitMode(FT_HANDLE h, uint8_t m, uint8_t e) override { return sim().setBitMode(h, m, e); }
    FT_STATUS purge(FT_HANDLE h, uint32_t m) override { return sim().purge(h, m); }
    FT_STATUS write(FT_HANDLE h, void* b, uint32_t n, uint32_t* w) override { return sim().write(h, b, n, w); }
    FT_STATUS getQueueStatus(FT_HANDLE h, uint32_t* n) override { return sim().getQueueStatus(h, n); }
    FT_STATUS read(FT_HANDLE h, void* b, uint32_t n, uint32_t* got) override {
        const FT_STATUS s = sim().read(h, b, n, got);
        if (s == FT_OK && got) {
            const auto* bytes = static_cast<const uint8_t*>(b);
            readback.insert(readback.end(), bytes, bytes + *got);
        }
        return s;
    }
    FT_STATUS close(FT_HANDLE h) override { return sim().close(h); }
    FT_STATUS setLatencyTimer(FT_HANDLE h, uint8_t ms) override { return sim().setLatencyTimer(h, ms); }
    FT_STATUS getLatencyTimer(FT_HANDLE h, uint8_t* ms) override { return sim().getLatencyTimer(h, ms); }

private:
    static qz::D2xxDriver& sim() { return qzsim::simDriver(); }
};

RecordingDriver& recorder() {
    static RecordingDriver driver;
    return driver;
}

constexpr char kSerial[] = "SEED";

uint32_t widthMask(uint32_t bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

// Sets up the bench for the case (a device at the given lag with the virtual
// chip the case's descriptor addresses, its registers filled), runs the case
// and returns header + recorded read-back.
std::vector<uint8_t> record(qzfuzz::Family family, const qzfuzz::Case& c, uint32_t lag) {
    qzsim_clear_bench();
    qzsim_add_device(kSerial, "seed board", 1);
    qzsim_set_readback_lag(kSerial, lag);
    const qzfuzz::Pins p = qzfuzz::pins(c);
    const bool spi = family == qzfuzz::Family::Spi || (family != qzfuzz::Family::I2c && c.spi);
    int32_t chip;
    uint32_t mask;
    if (spi) {
        chip = qzsim_attach_spi(kSerial, p.p[0], p.p[1], p.p[2], p.p[3], c.addrBits, c.dataBits,
                                c.posedge ? 1 : 0, c.rwBit ? 1 : 0);
        mask = widthMask(c.dataBits);
    } else {
        chip = qzsim_attach_i2c(kSerial, p.p[0], p.p[1], c.sdaShared ? p.p[1] : p.p[2],
                                c.i2cAddress, c.bytesPerAddr, c.bytesPerReg);
        mask = widthMask(8u * c.bytesPerReg);
    }
    for (uint32_t i = 0; i < 3 * qzfuzz::kMaxCount; ++i)
        qzsim_set_register(chip, c.reg + i, (0x5A3C96E1u * (i + 1)) & mask);

    void* dev = nullptr;
    if (setupFTDIdev(&dev, kSerial, 1000000) != 0) return {};
    recorder().readback.clear();
    qzfuzz::run(family, c, dev);
    closeFTDI(dev);
    std::vector<uint8_t> seed = qzfuzz::encode(c);
    seed.insert(seed.end(), recorder().readback.begin(), recorder().readback.end());
    return seed;
}

// The cases of one family: every operation over a spread of shapes.
std::vector<qzfuzz::Case> casesOf(qzfuzz::Family family) {
    // Six shapes: SPI address and data bits, I2C register-address and data
    // bytes, batch and stream lengths.
    static constexpr uint8_t addrBits[6] = {8, 7, 16, 0, 12, 32};
    static constexpr uint8_t dataBits[6] = {16, 8, 32, 12, 1, 24};
    static constexpr uint8_t bytesPerAddr[6] = {1, 2, 1, 0, 4, 1};
    static constexpr uint8_t bytesPerReg[6] = {1, 2, 4, 1, 3, 2};
    static constexpr uint32_t counts[6] = {1, 4, 16, 2, 32, 3};
    std::vector<qzfuzz::Case> cases;
    const uint8_t ops = family == qzfuzz::Family::Status ? 9 : 4;
    const bool both = family == qzfuzz::Family::Multi || family == qzfuzz::Family::Status;
    for (uint8_t op = 0; op < ops; ++op) {
        for (int protocol = 0; protocol < (both ? 2 : 1); ++protocol) {
            const bool spi = both ? protocol == 0 : family == qzfuzz::Family::Spi;
            for (int shape = 0; shape < 6; ++shape) {
                qzfuzz::Case c;
                c.op = op;
                c.spi = spi;
                c.write = shape % 2 == 1;
                c.pinOrder = static_cast<uint8_t>(17 * shape + op);
                c.posedge = shape % 3 != 2;
                c.rwBit = shape % 4 != 3;
                c.addrBits = addrBits[shape];
                c.dataBits = dataBits[shape];
                c.i2cAddress = static_cast<uint8_t>(0x50 + shape);
                c.bytesPerAddr = bytesPerAddr[shape];
                c.bytesPerReg = bytesPerReg[shape];
                c.sdaShared = shape == 4;
                c.deviceID = static_cast<uint8_t>(shape * 40);
                c.count = counts[shape];
                c.reg = (0x11u * (shape + 1)) & widthMask(spi ? c.addrBits : 8u * c.bytesPerAddr);
                c.data = 0x1234u & widthMask(spi ? c.dataBits : 8u * c.bytesPerReg);
                cases.push_back(c);
            }
        }
    }
    return cases;
}

}  // namespace

// Every FT_* call of this program goes through the recorder to the bench.
qz::D2xxDriver& qz::activeDriver() { return recorder(); }

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    std::size_t written = 0;
    for (uint8_t f = 0; f < qzfuzz::kFamilies; ++f) {
        const auto family = static_cast<qzfuzz::Family>(f);
        const fs::path folder = fs::path(argv[1]) / qzfuzz::familyName(family);
        fs::create_directories(folder);
        std::size_t n = 0;
        for (const qzfuzz::Case& c : casesOf(family)) {
            for (uint32_t lag = 0; lag <= 2; ++lag) {
                const std::vector<uint8_t> seed = record(family, c, lag);
                if (seed.empty()) continue;
                std::ofstream out(folder / ("seed-" + std::to_string(n++)), std::ios::binary);
                out.write(reinterpret_cast<const char*>(seed.data()),
                          static_cast<std::streamsize>(seed.size()));
                ++written;
            }
        }
    }
    qzsim_clear_bench();
    std::printf("%zu seeds in %s\n", written, argv[1]);
    return 0;
}
