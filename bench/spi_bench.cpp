// SPI speed: frame generation and read-back parsing in ns per sample, and a
// whole single-register read on the simulated chip in microseconds.
#include "spi.h"

#include "bench_util.hpp"
#include "qzsim/spi_peripheral.hpp"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// 8 address bits, 16 data bits, read/write bit, output enable: 56 samples.
PROT_DES benchDescriptor() { return qzbench::descriptorOf(qzbench::newSPIBenchHandle()); }

// Rendering frames into a caller's buffer, as batches and streams do.
void BM_RenderSPIFrame(benchmark::State& state) {
    const PROT_DES d = benchDescriptor();
    std::vector<uint8_t> buffer(qz::spiStreamLength(d, qz::WRITE));
    uint32_t data = 0;
    for (auto _ : state) {
        qz::renderSPIStream(d, 0x5A, data++, qz::WRITE, buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    qzbench::timePerUnit(state, "per_sample", buffer.size());
}
BENCHMARK(BM_RenderSPIFrame);

// A fresh stream per frame, as the single-register transfers ask for one.
void BM_CreateSPIByteStream(benchmark::State& state) {
    const PROT_DES d = benchDescriptor();
    std::size_t samples = 0;
    for (auto _ : state) {
        auto stream = qz::createSPIByteStream(d, 0x5A, 0x1234, qz::READ_ACK);
        samples = stream.size();
        benchmark::DoNotOptimize(stream.data());
    }
    qzbench::timePerUnit(state, "per_sample", samples);
}
BENCHMARK(BM_CreateSPIByteStream);

// Locating the strobe and assembling the data word from a read-back that lags
// the frame by one sample.
void BM_ParseSPIReadback(benchmark::State& state) {
    const PROT_DES d = benchDescriptor();
    const auto frame = qz::createSPIByteStream(d, 0x5A, 0, qz::READ_ACK);
    const std::vector<uint8_t> rx = qzbench::laggedReadback(frame);
    uint32_t value = 0;
    qz::SPIFields fields;
    fields.limit = rx.size();
    fields.runs.push_back({{1, d.dataBits, &value, nullptr}, 0, qz::spiDataPosition(d, 0), 0});
    for (auto _ : state) {
        benchmark::DoNotOptimize(qz::spiReceive(d, fields, rx));
        benchmark::DoNotOptimize(value);
    }
    qzbench::timePerUnit(state, "per_sample", rx.size());
}
BENCHMARK(BM_ParseSPIReadback);

// A whole readSPI through the D2XX seam on the simulated chip and peripheral.
void BM_ReadSPIOnSimulator(benchmark::State& state) {
    qzsim::Device& device = qzbench::benchDevice("BENCH");
    qzsim::SPIWiring wiring{0, 1, 2, 3, 8, 16, true, true, uint8_t{4}, true};
    auto chip = std::make_shared<qzsim::SPIPeripheral>(wiring);
    device.attach(chip);
    chip->registers.write(0x5A, 0xBEEF);

    void* dev = nullptr;
    PROT_HANDLE spi = nullptr;
    if (setupFTDIdev(&dev, "BENCH", 3000000) != 0 || !(spi = qzbench::newSPIBenchHandle())) {
        state.SkipWithError("bench setup failed");
        return;
    }
    for (auto _ : state) {
        if (readSPI(dev, spi, 0x5A) != 0xBEEF) {
            state.SkipWithError("wrong value read");
            break;
        }
        chip->clearLog();
    }
    deleteSPIDev(spi);
    closeFTDI(dev);
    qzsim::bench().clear();
}
BENCHMARK(BM_ReadSPIOnSimulator)->Unit(benchmark::kMicrosecond);

// Host cost of a raw SPI transfer of 64 KiB (a flash read's data phase):
// rendering the frame and taking every byte from a read-back that lags it by
// one sample, per sample. A 1 MiB flash read is 16 x this work; its wire time
// is 16.8 M samples: 1.05 s at FT232R 1 MBaud (16 MS/s bursts, about 28 s at
// the 0.6 MS/s sustained over USB full speed), 1.4 s at 12 MS/s on an FT232H.
void BM_SPIExchangeHostCost(benchmark::State& state) {
    const PROT_DES d = benchDescriptor();
    constexpr uint32_t kBytes = 65536;
    std::vector<uint8_t> tx(kBytes, 0x5A), in(kBytes);
    const QZ_SPI_SEGMENT segment{tx.data(), in.data(), kBytes};
    std::vector<uint8_t> frame(qz::spiExchangeLength(kBytes));
    qz::renderSPIExchange(d, {&segment, 1}, 0, frame.data());
    const std::vector<uint8_t> rx = qzbench::laggedReadback(frame);
    qz::SPIFields fields;
    fields.limit = rx.size();
    fields.runs.push_back({{kBytes, 8, nullptr, in.data()}, 0, 0, 2 * 8});
    for (auto _ : state) {
        qz::renderSPIExchange(d, {&segment, 1}, 0, frame.data());
        benchmark::DoNotOptimize(qz::spiReceive(d, fields, rx));
        benchmark::ClobberMemory();
    }
    qzbench::timePerUnit(state, "per_sample", frame.size());
}
BENCHMARK(BM_SPIExchangeHostCost);

}  // namespace
