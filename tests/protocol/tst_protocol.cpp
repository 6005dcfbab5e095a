#include "protocol/CNetMsg.h"
#include "protocol/Cipher.h"
#include "protocol/CrcBinding.h"
#include "protocol/NetCodec.h"
#include "support/CrcReference.h"

#include <QtTest>

namespace {

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

const QByteArray kMarker = QByteArrayLiteral("QV;(");

// A whole message as a sender builds it, enciphered with the given layers.
QByteArray Build(CNetMsg& out, std::uint8_t cmd, const QByteArray& body,
                 const QList<QByteArray>& layers = {}) {
    out.CreateMessage(kMarker, 0, 1, cmd, body);
    for (const QByteArray& pw : layers) {
        out.CipherMessage(pw);
    }
    return out.FullMessage();
}

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void crcThroughLoadedLibrary();
    void crcNormalisation();
    void missingLibraryRefusesEverything();
    void rc4PublishedVectors();
    void cipherProperties();
    void codec();
    void abcWireBytes();
    void framingPieces();
    void twoMessagesInOneRead();
    void wrongMarkerGivesTwoWithoutCrc();
    void passwordLayers();
    void msgNumAcrossClear();
    void zeroBytesEverywhere();
    void tooLongBodyRefused();
    void decodeErrorIsDeferred();
};

void TestProtocol::crcThroughLoadedLibrary() {
    QVERIFY2(crcbinding::Available(), qPrintable(crcbinding::LastError()));
    QCOMPARE(*crcbinding::Compute(QByteArrayLiteral("123456789")), 0xCBF43926u);
    QCOMPARE(*crcbinding::Compute(QByteArray()), 0u);
    // Every byte value is data; a zero byte does not end the buffer.
    QByteArray all(256, Qt::Uninitialized);
    for (int k = 0; k < 256; ++k) {
        all[k] = static_cast<char>(k);
    }
    QCOMPARE(*crcbinding::Compute(all), 0x29058C73u);
    QVERIFY(*crcbinding::Compute(QByteArray(1, '\0')) != *crcbinding::Compute(QByteArray()));
    // Lengths that are not a multiple of the folding width take the byte-wise tail.
    QCOMPARE(*crcbinding::Compute(QByteArrayLiteral("12345678")), 0x9AE0DAAFu);
    // Every length and alignment agrees with the plain bit-by-bit definition.
    auto bitwise = [](const QByteArray& b) {
        return ~BitwiseCrc32(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(b.constData()),
                             static_cast<std::uint32_t>(b.size()));
    };
    // Through the export, as the program calls it: every length up to 300 (past the point
    // where folding takes over) at every alignment within 16 bytes.
    const QByteArray twice = all + all;
    for (int len = 0; len <= 300; ++len) {
        for (int offset = 0; offset < 16; ++offset) {
            const QByteArray piece = QByteArray::fromRawData(twice.constData() + offset, len);
            QCOMPARE(*crcbinding::Compute(piece), bitwise(piece));
        }
    }
}

void TestProtocol::crcNormalisation() {
    QCOMPARE(NormaliseCrc(1), 1);
    QCOMPARE(NormaliseCrc(0x7FFFFFFFu), 2147483647);
    QCOMPARE(NormaliseCrc(0x80000000u), 1);
    QCOMPARE(NormaliseCrc(0xFFFFFFFEu), 2147483647);
    QCOMPARE(NormaliseCrc(0x83A2E7C8u), 0x03A2E7C9);
    // The two raw values without a normalised form.
    QCOMPARE(NormaliseCrc(0u), 1);
    QCOMPARE(NormaliseCrc(0xFFFFFFFFu), 2147483647);
}

void TestProtocol::missingLibraryRefusesEverything() {
    QStringList reports;
    crcbinding::SetFailureReporter([&](const QString& text) { reports << text; });
    CNetMsg good;
    const QByteArray wire = Build(good, CmdText, "hi");

    crcbinding::ResetForTesting(QStringLiteral("no_such_sumcore"));
    CNetMsg out;
    QCOMPARE(out.CreateMessage(kMarker, 0, 1, CmdText, "hi"), CNetMsg::CreateResult::NoCrc);
    QVERIFY(out.FullMessage().isEmpty());
    QCOMPARE(out.MsgNum(), 0);
    CNetMsg in;
    QCOMPARE(in.BufferMsg(wire), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in.VerifyMsg(), CNetMsg::VerifyResult::BadCrc); // never accepted without a CRC
    QCOMPARE(reports.size(), 1);
    QVERIFY(reports[0].contains(QStringLiteral("libno_such_sumcore")));
    QVERIFY(!crcbinding::LastError().isEmpty());
    // The reason names every place looked in, the private library folder included.
    for (const QString& place : crcbinding::CandidatePaths(QCoreApplication::applicationDirPath(),
                                                           QStringLiteral("no_such_sumcore"))) {
        QVERIFY2(crcbinding::LastError().contains(place), qPrintable(place));
    }
    const QStringList places = crcbinding::CandidatePaths("/opt/p/bin", "sumcore");
    QCOMPARE(places.size(), 3);
    QCOMPARE(places[0], QStringLiteral("/opt/p/bin/sumcore"));
    QVERIFY2(places[1].startsWith("/opt/p/lib") && places[1].endsWith("/palaver/sumcore"),
             qPrintable(places[1]));
    QCOMPARE(places[2], QStringLiteral("sumcore"));
    QVERIFY(reports[0].contains(crcbinding::LastError()));
    QCoreApplication::processEvents();
    QCOMPARE(reports.size(), 1); // one report, not one per message

    crcbinding::ResetForTesting(QStringLiteral("sumcore"));
    QVERIFY(crcbinding::Available());
    QVERIFY(crcbinding::LastError().isEmpty());
    QVERIFY(crcbinding::Compute("x").has_value());
    QCOMPARE(reports.size(), 1); // a library that loaded reports nothing
    crcbinding::SetFailureReporter({});
}

void TestProtocol::rc4PublishedVectors() {
    QCOMPARE(CipherText("Plaintext", "Key"), Hex("BBF316E8D940AF0AD3"));
    QCOMPARE(CipherText("pedia", "Wiki"), Hex("1021BF0420"));
    QCOMPARE(CipherText("Attack at dawn", "Secret"), Hex("45A01F645FC35B383552544B9BF5"));
    // RFC 6229, 40-bit key 0102030405: keystream bytes 0..31 (no bytes dropped).
    const QByteArray zeros(32, '\0');
    QCOMPARE(CipherText(zeros, Hex("0102030405")),
             Hex("b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"));
    // RFC 6229, 128-bit key 0102..10, offset 0.
    QCOMPARE(CipherText(QByteArray(16, '\0'), Hex("0102030405060708090a0b0c0d0e0f10")),
             Hex("9ac7cc9a609d1ef7b2932899cde41b97"));
}

void TestProtocol::cipherProperties() {
    QByteArray all(300, Qt::Uninitialized);
    for (int k = 0; k < all.size(); ++k) {
        all[k] = static_cast<char>(k % 256);
    }
    const QByteArray once = CipherText(all, "pw");
    QCOMPARE(once.size(), all.size());
    QVERIFY(once != all);
    QCOMPARE(CipherText(once, "pw"), all);
    // Each call starts the keystream afresh.
    QCOMPARE(CipherText(all, "pw"), once);
    QCOMPARE(CipherText(QByteArray(), "pw"), QByteArray());
    // A one-character key is that character repeated.
    QCOMPARE(CipherText("abc", "x"), CipherText("abc", QByteArray(256, 'x')));
    // Password bytes above 127 and zero bytes are key material like any other.
    QVERIFY(CipherText("abc", QByteArray("\xff\x00", 2)) != CipherText("abc", "\xff"));
}

void TestProtocol::codec() {
    QCOMPARE(EncodeLong(0), QByteArray(4, '\0'));
    QCOMPARE(EncodeLong(0x01020304), Hex("04030201"));
    QCOMPARE(EncodeLong(2147483647), Hex("ffffff7f"));
    QCOMPARE(DecodeLong(Hex("ffffff7f")), 2147483647);
    QCOMPARE(DecodeLong(Hex("04030201")), 0x01020304);
    QCOMPARE(DecodeLong("abc"), 0);
    QCOMPARE(DecodeLong("abcde"), 0);
    QCOMPARE(CmdText, 1);
    QCOMPARE(CmdAck, 2);
    QCOMPARE(CmdLogin, 3);
}

void TestProtocol::abcWireBytes() {
    CNetMsg out;
    QCOMPARE(out.CreateMessage(kMarker, 0, 1, CmdText, "abc"), CNetMsg::CreateResult::Ok);
    const QByteArray expected = kMarker + Hex("00000000"
                                              "01000000"
                                              "01000000"
                                              "01"
                                              "03000000"
                                              "c9e7a203"
                                              "616263");
    QCOMPARE(out.FullMessage(), expected);
    QCOMPARE(out.crc(), 0x03A2E7C9);
    QCOMPARE(out.Header().size(), 25);
    QCOMPARE(out.FullMessage().size(), 25 + 3);
}

void TestProtocol::framingPieces() {
    CNetMsg out;
    const QByteArray wire = Build(out, CmdText, "hello", {"p1"});

    // 24 characters are not yet a header; the 25th and the body complete it.
    CNetMsg in;
    QCOMPARE(in.BufferMsg(wire.left(24)), CNetMsg::BufferStatus::Incomplete);
    QVERIFY(!in.HeaderTaken());
    QCOMPARE(in.BufferMsg(wire.mid(24, 1)), CNetMsg::BufferStatus::Incomplete);
    QVERIFY(in.HeaderTaken());
    QCOMPARE(in.Header().size(), 21);
    QCOMPARE(in.BufferMsg(wire.mid(25, 2)), CNetMsg::BufferStatus::Incomplete);
    QCOMPARE(in.BufferMsg(wire.mid(27)), CNetMsg::BufferStatus::Complete);
    QVERIFY(in.InBuffer().isEmpty());
    in.CipherMessage("p1");
    QCOMPARE(in.VerifyMsg(), CNetMsg::VerifyResult::Good);
    QCOMPARE(in.Message(), QByteArray("hello"));
    QCOMPARE(in.CheckCRC(), out.crc());

    // One byte at a time, including a short acknowledgement body.
    CNetMsg ackOut;
    const QByteArray ack = Build(ackOut, CmdAck, "OK" + EncodeLong(12345));
    CNetMsg in2;
    for (int k = 0; k < ack.size() - 1; ++k) {
        QCOMPARE(in2.BufferMsg(ack.mid(k, 1)), CNetMsg::BufferStatus::Incomplete);
    }
    QCOMPARE(in2.BufferMsg(ack.right(1)), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::Good);

    // An empty body is complete with the 25th character.
    CNetMsg in3;
    CNetMsg emptyOut;
    const QByteArray empty = Build(emptyOut, CmdText, QByteArray());
    QCOMPARE(empty.size(), 25);
    QCOMPARE(in3.BufferMsg(empty), CNetMsg::BufferStatus::Complete);
    QVERIFY(in3.Message().isEmpty());
    QCOMPARE(in3.VerifyMsg(), CNetMsg::VerifyResult::Good);
}

void TestProtocol::twoMessagesInOneRead() {
    CNetMsg out;
    const QByteArray first = Build(out, CmdText, "one");
    const QByteArray second = Build(out, CmdAck, "OK1234");
    CNetMsg in;
    QCOMPARE(in.BufferMsg(first + second), CNetMsg::BufferStatus::Overflow);
    QVERIFY(in.HeaderTaken());
    // The first header was taken; the buffer holds its body then the whole second message.
    QCOMPARE(in.InBuffer(), QByteArray("one") + second);
    QVERIFY(in.Message().isEmpty());
    // Later reads only compare lengths until Clear.
    QCOMPARE(in.BufferMsg("x"), CNetMsg::BufferStatus::Overflow);

    // The receive path splits them instead of dropping them.
    CNetMsg in2;
    QCOMPARE(in2.BufferMsg(first + second.left(30)), CNetMsg::BufferStatus::Overflow);
    const QByteArray rest = in2.SplitOverflow();
    QCOMPARE(in2.MsgStatus(), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in2.Message(), QByteArray("one"));
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::Good);
    in2.Clear();
    QCOMPARE(in2.BufferMsg(rest),
             CNetMsg::BufferStatus::Incomplete); // the partial second message waits for the rest
    QCOMPARE(in2.BufferMsg(second.right(1)), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::Good);
    QCOMPARE(in2.Cmd(), CmdAck);
    QCOMPARE(in2.Message(), QByteArray("OK1234"));
}

void TestProtocol::wrongMarkerGivesTwoWithoutCrc() {
    CNetMsg out;
    QByteArray wire = Build(out, CmdText, "abc");
    wire[0] = 'X';
    CNetMsg in;
    QCOMPARE(in.BufferMsg(wire), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in.Message(), QByteArray("abc"));
    QCOMPARE(in.VerifyMsg(), CNetMsg::VerifyResult::WrongMarker);
    QCOMPARE(in.CheckCRC(), 0); // nothing computed

    // A damaged body gives 1.
    QByteArray damaged = Build(out, CmdText, "abc");
    damaged[26] = 'X';
    CNetMsg in2;
    QCOMPARE(in2.BufferMsg(damaged), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::BadCrc);
}

void TestProtocol::passwordLayers() {
    CNetMsg out;
    const QByteArray wire = Build(out, CmdText, "secret", {"a", "b", "c", "d", "e"});
    QVERIFY(!wire.contains("secret"));
    CNetMsg in;
    QCOMPARE(in.BufferMsg(wire), CNetMsg::BufferStatus::Complete);
    for (const char* pw : {"e", "d", "c", "b", "a"}) {
        in.CipherMessage(pw);
    }
    QCOMPARE(in.VerifyMsg(), CNetMsg::VerifyResult::Good);
    QCOMPARE(in.Message(), QByteArray("secret"));

    // A different password deciphers to other text and fails the CRC.
    CNetMsg in2;
    in2.BufferMsg(wire);
    for (const char* pw : {"e", "d", "c", "b", "A"}) {
        in2.CipherMessage(pw);
    }
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::BadCrc);

    // An empty password adds no layer.
    CNetMsg plain;
    plain.CreateMessage(kMarker, 0, 1, CmdText, "x");
    plain.CipherMessage(QByteArray());
    QCOMPARE(plain.Message(), QByteArray("x"));
}

void TestProtocol::msgNumAcrossClear() {
    CNetMsg out;
    for (int n = 1; n <= 3; ++n) {
        out.CreateMessage(kMarker, 0, 1, CmdText, "x");
        QCOMPARE(out.MsgNum(), n);
        QCOMPARE(DecodeLong(out.Header().mid(12, 4)), n);
        out.Clear();
        QCOMPARE(out.MsgNum(), n);
        QCOMPARE(out.Header().size(), 25); // Header survives Clear
        QCOMPARE(out.Cmd(), 0);            // the wire fields do not
        QCOMPARE(out.MsgLen(), 0);
    }
}

void TestProtocol::zeroBytesEverywhere() {
    QByteArray body(40, '\0');
    body[5] = 'a';
    CNetMsg out;
    out.CreateMessage(kMarker, 0, 0, CmdLogin, body);
    QCOMPARE(out.FullMessage().size(), 65);
    CNetMsg in;
    QCOMPARE(in.BufferMsg(out.FullMessage()), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in.VerifyMsg(), CNetMsg::VerifyResult::Good);
    QCOMPARE(in.Message(), body);
    QCOMPARE(in.NetID(), 0);
    QCOMPARE(in.UserID(), 0);
    QCOMPARE(in.AppID(), kMarker);

    // A header whose marker is four zero bytes is still a header taken.
    QByteArray zeroMarker = out.FullMessage();
    zeroMarker.replace(0, 4, QByteArray(4, '\0'));
    CNetMsg in2;
    QCOMPARE(in2.BufferMsg(zeroMarker), CNetMsg::BufferStatus::Complete);
    QCOMPARE(in2.VerifyMsg(), CNetMsg::VerifyResult::WrongMarker);
}

void TestProtocol::tooLongBodyRefused() {
    CNetMsg out;
    QCOMPARE(out.CreateMessage(kMarker, 0, 1, CmdText, QByteArray(32746, 'a')),
             CNetMsg::CreateResult::Ok);
    QCOMPARE(out.FullMessage().size(), 32771);
    QCOMPARE(out.MsgNum(), 1);
    QCOMPARE(out.CreateMessage(kMarker, 0, 1, CmdText, QByteArray(32747, 'a')),
             CNetMsg::CreateResult::TooLong);
    QCOMPARE(out.MsgNum(), 1); // nothing changed
    QCOMPARE(out.Message().size(), 32746);
}

void TestProtocol::decodeErrorIsDeferred() {
    CNetMsg out;
    QByteArray wire = Build(out, CmdText, "abc");
    wire[7] = static_cast<char>(0x80);  // NetID out of range
    wire[15] = static_cast<char>(0xFF); // MsgNum out of range
    CNetMsg in;
    QCOMPARE(in.BufferMsg(wire),
             CNetMsg::BufferStatus::Complete); // parsing went on with 0 for the bad fields
    QCOMPARE(in.NetID(), 0);
    QCOMPARE(in.MsgNum(), 0);
    QCOMPARE(in.Message(), QByteArray("abc"));
    QCOMPARE(in.DecodeFailures(), 2); // the caller decides whether the user is told
    in.Clear();
    QCOMPARE(in.DecodeFailures(), 0);
}

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
