// I2C speed: frame generation and read-back parsing in ns per sample, and a
// whole single-register read on the simulated chip with a virtual I2C chip.
#include "i2c.h"

#include "bench_util.hpp"
#include "qzsim/i2c_bus.hpp"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// Two register-address bytes, two data bytes, output enable: a read frame of
// 81 + 36 x 4 = 225 samples.
PROT_DES i2cBenchDescriptor() { return qzbench::descriptorOf(qzbench::newI2CBenchHandle()); }

// Rendering read frames into a caller's buffer, as batches and streams do.
void BM_RenderI2CFrame(benchmark::State& state) {
    const PROT_DES d = i2cBenchDescriptor();
    const auto mode = static_cast<qz::sequenceMode>(state.range(0));
    std::vector<uint8_t> buffer(qz::i2cStreamLength(d, mode));
    uint32_t data = 0;
    for (auto _ : state) {
        qz::renderI2CStream(d, 0x1234, data++, mode, buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    qzbench::timePerUnit(state, "per_sample", buffer.size());
}
BENCHMARK(BM_RenderI2CFrame)->Arg(qz::WRITE)->Arg(qz::READ_NACK);

// A fresh stream per frame, as the single-register transfers ask for one.
void BM_CreateI2CByteStream(benchmark::State& state) {
    const PROT_DES d = i2cBenchDescriptor();
    std::size_t samples = 0;
    for (auto _ : state) {
        auto stream = qz::createI2CByteStream(d, 0x1234, 0, qz::READ_NACK);
        samples = stream.size();
        benchmark::DoNotOptimize(stream.data());
    }
    qzbench::timePerUnit(state, "per_sample", samples);
}
BENCHMARK(BM_CreateI2CByteStream);

// What readI2C does with its read-back: find the frame, collect the
// acknowledges, assemble the data word. The read-back lags by one sample.
void BM_ParseI2CReadback(benchmark::State& state) {
    const PROT_DES d = i2cBenchDescriptor();
    const auto frame = qz::createI2CByteStream(d, 0x1234, 0, qz::READ_NACK);
    qz::I2CLayout layout(frame.size());
    std::vector<uint8_t> written(frame.size());
    qz::renderI2CStream(d, 0x1234, 0, qz::READ_NACK, written.data(), layout, qz::PieceRef{});
    const std::vector<uint8_t> rx = qzbench::laggedReadback(frame);
    const auto length = static_cast<uint32_t>(frame.size());
    for (auto _ : state) {
        const auto judged = qz::judgeI2C(d, written, layout, rx, length, 0);
        auto value = qz::i2cReceivedWords(d, layout, rx, judged.lag, 1);
        benchmark::DoNotOptimize(judged);
        benchmark::DoNotOptimize(value);
    }
    qzbench::timePerUnit(state, "per_sample", rx.size());
}
BENCHMARK(BM_ParseI2CReadback);

// Host cost of qz_i2cTransfer's frame, per sample: an EEPROM-style combined
// message (write a 2-byte pointer, repeated START, read N bytes) rendered with
// its layout, then judged on a read-back that lags one sample and carries
// every acknowledge, and the read's bytes assembled.
void BM_I2CMessagesHostCost(benchmark::State& state) {
    PROT_DES d = i2cBenchDescriptor();
    d.bytesPerReg = 1;  // the words assembled are the read's bytes
    std::vector<uint8_t> pointer = {0x12, 0x34}, data(static_cast<std::size_t>(state.range(0)));
    const QZ_I2C_MSG msgs[] = {{0x50, 0, 2, pointer.data()},
                               {0x50, 1, static_cast<uint32_t>(data.size()), data.data()}};
    const auto total = static_cast<uint32_t>(qz::i2cMessagesLength(d, msgs).value_or(0));
    std::vector<uint8_t> stream(total);
    std::vector<uint32_t> starts;
    qz::I2CLayout layout(total);
    qz::renderI2CMessages(d, msgs, stream.data(), layout, starts);
    // The wire: SDA reads what the master writes, and low in every acknowledge slot.
    const uint8_t sdaRead = static_cast<uint8_t>(1u << d.SDAnumR);
    std::vector<uint8_t> wire(stream);
    for (uint8_t& sample : wire)
        sample = static_cast<uint8_t>((sample & ~sdaRead) | (((sample >> d.SDAnumW) & 1u) ? sdaRead : 0u));
    for (const qz::AckSample& ack : layout.acks) wire[ack.position] &= static_cast<uint8_t>(~sdaRead);
    const std::vector<uint8_t> rx = qzbench::laggedReadback(wire);
    for (auto _ : state) {
        qz::I2CLayout fresh(total);
        starts.clear();
        qz::renderI2CMessages(d, msgs, stream.data(), fresh, starts);
        const auto judged = qz::judgeI2C(d, stream, fresh, rx, total, 0);
        if (!judged.outcome.ok()) state.SkipWithError(qz_statusText(judged.outcome.status));
        auto bytes = qz::i2cReceivedWords(d, fresh, rx, judged.lag, static_cast<uint32_t>(data.size()));
        benchmark::DoNotOptimize(bytes);
    }
    qzbench::timePerUnit(state, "per_sample", total);
}
BENCHMARK(BM_I2CMessagesHostCost)->Arg(16)->Arg(4096)->Arg(65536);

// A whole readI2C through the D2XX seam on the simulated chip and I2C chip.
void BM_ReadI2COnSimulator(benchmark::State& state) {
    qzsim::Device& device = qzbench::benchDevice("I2CBENCH");
    auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
    device.attach(bus);
    bus->addChip(0x50, 2, 2)->registers.write(0x1234, 0xBEEF);

    void* dev = nullptr;
    PROT_HANDLE i2c = nullptr;
    setupFTDIdev(&dev, "I2CBENCH", 1000000);
    i2c = qzbench::newI2CBenchHandle();
    int32_t value = 0;
    for (auto _ : state) {
        value = readI2C(dev, i2c, 0x1234);
        benchmark::DoNotOptimize(value);
    }
    if (value != 0xBEEF) state.SkipWithError("the register did not read back");
    qzbench::timePerUnit(state, "per_sample",
                         qz::i2cStreamLength(*qz::copyDescriptor(i2c), qz::READ_NACK));
    deleteI2CDev(i2c);
    closeFTDI(dev);
    qzsim::bench().clear();
}
BENCHMARK(BM_ReadI2COnSimulator)->Unit(benchmark::kMicrosecond);

}  // namespace
