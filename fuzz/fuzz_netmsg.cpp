// Feeds arbitrary bytes, cut into arbitrary reads, through framing, splitting, deciphering
// and verification the way the receive path does.
#include "FuzzMain.h"

#include "protocol/CNetMsg.h"
#include "protocol/NetCodec.h"

#include <QCoreApplication>

QList<QByteArray> FuzzSeeds() {
    QList<QByteArray> seeds;
    CNetMsg out;
    for (const QByteArray& body : {QByteArray("hello"), QByteArray("OK") + EncodeLong(77),
                                   QByteArray("AUTH"), QByteArray("PASS\0nick", 9), QByteArray()}) {
        out.CreateMessage("QV;(", 0, 1, CmdText, body);
        out.CipherMessage("pw");
        seeds.append(out.FullMessage());
    }
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CNetMsg in;
    qsizetype pos = 0;
    // The first byte chooses the read size, so one input covers many ways of cutting.
    const qsizetype chunk = size > 0 ? 1 + data[0] % 64 : 1;
    int guard = 0;
    while (pos < input.size()) {
        QByteArray piece = input.mid(pos, chunk);
        pos += chunk;
        std::int16_t s = in.BufferMsg(piece);
        while (s != 1 && ++guard < 100000) {
            if (in.HeaderTaken() && in.MsgLen() > kMaxBody) {
                in.Clear(); // the receive path closes the call here
                break;
            }
            QByteArray rest;
            if (s == 3) {
                rest = in.SplitOverflow();
            }
            in.CipherMessage("pw");
            (void)in.VerifyMsg();
            (void)DecodeLong(in.Message().mid(2, 4));
            in.Clear();
            if (rest.isEmpty()) {
                break;
            }
            s = in.BufferMsg(rest);
        }
    }
    return 0;
}
