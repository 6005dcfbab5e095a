// Without libFuzzer (gcc builds) a target runs as a plain program: it feeds a bounded number
// of pseudo-random inputs, derived from a fixed seed and a few well-formed samples, to
// LLVMFuzzerTestOneInput. Under clang with -fsanitize=fuzzer the real fuzzer drives it.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Well-formed inputs the mutations start from; defined by each target.
QList<QByteArray> FuzzSeeds();

#ifndef PALAVER_LIBFUZZER
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // lets the checksum library be found beside the binary
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    const QList<QByteArray> seeds = FuzzSeeds();
    for (const QByteArray& s : seeds) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.constData()),
                               static_cast<std::size_t>(s.size()));
    }
    for (long n = 0; n < iterations; ++n) {
        QByteArray input = seeds.isEmpty() ? QByteArray() : seeds[next() % seeds.size()];
        const int edits = 1 + static_cast<int>(next() % 8);
        for (int e = 0; e < edits; ++e) {
            const auto kind = next() % 4;
            const qsizetype pos =
                input.isEmpty() ? 0 : static_cast<qsizetype>(next() % input.size());
            if (kind == 0 && !input.isEmpty()) {
                input[pos] = static_cast<char>(next());
            } else if (kind == 1) {
                input.insert(pos, static_cast<char>(next()));
            } else if (kind == 2 && !input.isEmpty()) {
                input.remove(pos, 1 + static_cast<qsizetype>(next() % 4));
            } else {
                input.append(seeds.isEmpty() ? QByteArray(1, 'x') : seeds[next() % seeds.size()]);
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.constData()),
                               static_cast<std::size_t>(input.size()));
    }
    std::printf("%ld inputs survived\n", iterations);
    return 0;
}
#endif
