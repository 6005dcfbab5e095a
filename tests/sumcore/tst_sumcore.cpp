// The checksum register's two ways, tables and carry-less folding, against the bit-by-bit
// definition and each other, at every length and alignment the folding treats differently.
#include "CCrc32.h"
#include "support/CrcReference.h"

#include <QtTest>

#include <array>

class TestSumcore : public QObject {
    Q_OBJECT
private slots:
    void everyLengthAndAlignment_data();
    void everyLengthAndAlignment();
    void runningRegisterAcrossPieces();
};

void TestSumcore::everyLengthAndAlignment_data() {
    QTest::addColumn<std::uint32_t>("start");
    QTest::newRow("fresh register") << 0xFFFFFFFFu;
    QTest::newRow("zero register") << 0u;
    QTest::newRow("running register") << 0x12345678u;
}

void TestSumcore::everyLengthAndAlignment() {
    QFETCH(std::uint32_t, start);
    alignas(64) std::array<unsigned char, 300 + 16> buf{};
    std::uint32_t x = 2463534242u;
    for (auto& b : buf) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    int folded = 0;
    for (std::uint32_t len = 0; len <= 300; ++len) {
        for (std::uint32_t align = 0; align < 16; ++align) {
            const unsigned char* p = buf.data() + align;
            const std::uint32_t want = BitwiseCrc32(start, p, len);
            QCOMPARE(CCrc32::UpdateTable(start, p, len), want);
            std::uint32_t r = start;
            if (CCrc32::UpdateFolded(&r, p, len)) {
                QCOMPARE(r, want);
                ++folded;
            }
        }
    }
    // This machine's processor folds (x86-64 with PCLMULQDQ, ARMv8 with CRC32); elsewhere
    // only the tables were checked.
    if (CCrc32::HasFolding()) {
        QCOMPARE(folded, 301 * 16);
    }
}

void TestSumcore::runningRegisterAcrossPieces() {
    std::array<unsigned char, 1000> buf{};
    for (std::size_t k = 0; k < buf.size(); ++k) {
        buf[k] = static_cast<unsigned char>(k * 7 + 3);
    }
    CCrc32 whole;
    whole.Reset();
    whole.Update(buf.data(), 1000);
    whole.Final();
    CCrc32 pieces;
    pieces.Reset();
    const std::array<std::uint32_t, 5> cuts{0, 13, 90, 400, 1000};
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        pieces.Update(buf.data() + cuts[k], cuts[k + 1] - cuts[k]);
    }
    pieces.Final();
    QCOMPARE(pieces.Value(), whole.Value());
    QCOMPARE(whole.Value(), ~BitwiseCrc32(0xFFFFFFFFu, buf.data(), 1000));
}

QTEST_APPLESS_MAIN(TestSumcore)
#include "tst_sumcore.moc"
