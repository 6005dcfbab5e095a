// Prints throughput figures for the checksum, the cipher, whole message cycles and log
// appends, each against a baseline measured in the same run.
#include "log/CLog.h"
#include "protocol/CNetMsg.h"
#include "protocol/Cipher.h"
#include "protocol/CrcBinding.h"
#include "protocol/NetCodec.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <zlib.h>
#ifdef PALAVER_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "CCrc32.h"
#include "sumcore.h"

#include <QLibrary>

#include <cstdio>
#include <ctime>
#include <functional>

namespace {

// Runs `work` repeatedly for at least `minMs` and returns seconds per run. The clock is read
// once per `batch` runs, so that reading it does not swamp work of a few nanoseconds.
double TimePerRun(const std::function<void()>& work, qint64 minMs = 400, int batch = 1) {
    work(); // warm-up
    QElapsedTimer t;
    t.start();
    long runs = 0;
    do {
        for (int k = 0; k < batch; ++k) {
            work();
        }
        runs += batch;
    } while (t.elapsed() < minMs);
    return static_cast<double>(t.nsecsElapsed()) / 1e9 / static_cast<double>(runs);
}

QByteArray Buffer(qsizetype size) {
    QByteArray b(size, Qt::Uninitialized);
    std::uint32_t x = 12345;
    for (qsizetype k = 0; k < size; ++k) {
        x = x * 1103515245u + 12345u;
        b[k] = static_cast<char>(x >> 24);
    }
    return b;
}

volatile std::uint32_t sink = 0;

void BenchCrc() {
    const QByteArray buf = Buffer(32767);
    const double ours = TimePerRun([&] { sink = sink + *crcbinding::Compute(buf); });
    const double zlib = TimePerRun([&] {
        sink = sink +
               static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(buf.constData()),
                                                static_cast<uInt>(buf.size())));
    });
    const double mb = static_cast<double>(buf.size()) / 1e6;
    std::printf("CRCBuffer (32767-byte buffers): %8.1f MB/s   zlib crc32: %8.1f MB/s   "
                "ratio sumcore/zlib speed: %.2f (goal >= 1.0)\n",
                mb / ours, mb / zlib, zlib / ours);
#ifdef PALAVER_HAVE_LIBDEFLATE
    const double deflate = TimePerRun([&] {
        sink = sink + libdeflate_crc32(0, buf.constData(), static_cast<std::size_t>(buf.size()));
    });
    std::printf("                                libdeflate: %8.1f MB/s   ratio sumcore/libdeflate "
                "speed: %.2f\n",
                mb / deflate, deflate / ours);
#endif
    // Chat-sized messages: the export (folding where it pays) against the table code alone,
    // which is what every message went through before, both called the same way through
    // a function pointer.
    const auto exportedFn = reinterpret_cast<CRCBufferFn>(QLibrary::resolve(
        QCoreApplication::applicationDirPath() + QStringLiteral("/sumcore"), 1, "CRCBuffer"));
    std::uint32_t (*volatile tableFn)(std::uint32_t, const unsigned char*, std::uint32_t) =
        &CCrc32::UpdateTable;
    for (qsizetype size : {qsizetype{25}, qsizetype{31}, qsizetype{64}, qsizetype{100}}) {
        const QByteArray msg = Buffer(size);
        const auto* p = reinterpret_cast<const unsigned char*>(msg.constData());
        const auto n = static_cast<std::uint32_t>(msg.size());
        const double exported = TimePerRun([&] { sink = sink + exportedFn(p, n); }, 300, 1000);
        const double table =
            TimePerRun([&] { sink = sink + ~tableFn(0xFFFFFFFFu, p, n); }, 300, 1000);
        const double z = TimePerRun(
            [&] {
                sink = sink + static_cast<std::uint32_t>(crc32(
                                  0L, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n)));
            },
            300, 1000);
        std::printf("CRCBuffer %3lld bytes: %6.1f ns   table code: %6.1f ns   zlib: %6.1f ns   "
                    "ratio export/table time: %.2f (goal <= 1.0)\n",
                    static_cast<long long>(size), exported * 1e9, table * 1e9, z * 1e9,
                    exported / table);
    }
}

void BenchCipher() {
    for (qsizetype size : {qsizetype{16}, qsizetype{32746}}) {
        const QByteArray buf = Buffer(size);
        QByteArray out;
        const double secs = TimePerRun([&] { out = CipherText(buf, "password"); });
        // Baseline: a plain byte-wise XOR pass over the same buffer (the floor for any
        // stream cipher that touches every byte).
        QByteArray x(buf.size(), Qt::Uninitialized);
        const double floor = TimePerRun([&] {
            for (qsizetype k = 0; k < buf.size(); ++k) {
                x[k] = static_cast<char>(buf[k] ^ 0x5A);
            }
            sink = sink + static_cast<unsigned char>(x[0]);
        });
        std::printf("CipherText %5lld bytes: %8.1f MB/s (%.2f us per call)   XOR pass: %8.1f "
                    "MB/s   ratio cipher/XOR time: %.1f\n",
                    static_cast<long long>(size), static_cast<double>(size) / 1e6 / secs,
                    secs * 1e6, static_cast<double>(size) / 1e6 / floor, secs / floor);
    }
}

void BenchCycles() {
    const QList<QByteArray> layers = {"one", "two", "three", "four", "five"};
    for (qsizetype size : {qsizetype{16}, qsizetype{32 * 1024 - 22}}) {
        const QByteArray body = Buffer(size);
        CNetMsg out;
        CNetMsg in;
        const double secs = TimePerRun([&] {
            out.CreateMessage("QV;(", 0, 1, CmdText, body);
            for (const QByteArray& pw : layers) {
                out.CipherMessage(pw);
            }
            in.BufferMsg(out.FullMessage());
            for (auto it = layers.crbegin(); it != layers.crend(); ++it) {
                in.CipherMessage(*it);
            }
            if (in.VerifyMsg() != CNetMsg::VerifyResult::Good) {
                std::fprintf(stderr, "verification failed\n");
            }
            in.Clear();
        });
        // Baseline: the same cycle with no password layers.
        const double plain = TimePerRun([&] {
            out.CreateMessage("QV;(", 0, 1, CmdText, body);
            in.BufferMsg(out.FullMessage());
            sink = sink + static_cast<std::uint32_t>(in.VerifyMsg() == CNetMsg::VerifyResult::Good);
            in.Clear();
        });
        std::printf("message cycle, %5lld-byte body, 5 layers: %10.0f cycles/s   no layers: "
                    "%10.0f cycles/s   ratio: %.2f\n",
                    static_cast<long long>(size), 1.0 / secs, 1.0 / plain, secs / plain);
    }
}

void BenchLog() {
    QPlainTextEdit box;
    box.resize(400, 200);
    CLog log;
    log.Start(std::nullopt, &box);
    const QString line = QStringLiteral("Nick: a line of chat text of ordinary length");
    // The box is filled with chat-like lines; each sample times 20 appends, which stay
    // below the purge limit, and the fill is restored outside the timed part.
    QString filler;
    while (filler.size() < 59000) {
        filler += line + QLatin1Char('\n');
    }
    auto costAt = [&](qsizetype fill) {
        const QString text = filler.left(fill);
        double total = 0;
        int lines = 0;
        QElapsedTimer wall;
        wall.start();
        while (wall.elapsed() < 1500) {
            box.setPlainText(text);
            QElapsedTimer t;
            t.start();
            for (int k = 0; k < 20; ++k) {
                log.Log(line);
            }
            total += static_cast<double>(t.nsecsElapsed()) / 1e9;
            lines += 20;
        }
        return total / lines;
    };
    const double empty = costAt(0);
    const double full = costAt(59000 - 60);
    std::printf("CLog::Log into a box of 0 chars: %.2f us   of 59000 chars: %.2f us   ratio: "
                "%.2f\n",
                empty * 1e6, full * 1e6, full / empty);
}

// A burst of received lines into a shown chat log, painted between reads as the event loop
// would, against the plainest Qt code that shows the same lines (appendPlainText).
void BenchLogBurst() {
    constexpr int kLines = 10000;
    constexpr int kPerRead = 20; // lines handled between two paints, as in one socket read
    const QString line = QStringLiteral("Pat: a line of chat text of ordinary length, number ");
    // `read` handles the lines of one read: kPerRead lines starting at `first`.
    auto run = [&](const std::function<void(QPlainTextEdit&, int first)>& read) {
        QPlainTextEdit box;
        box.setReadOnly(true);
        box.resize(376, 169);
        box.show();
        QCoreApplication::processEvents();
        const std::clock_t start = std::clock();
        for (int k = 0; k < kLines; k += kPerRead) {
            read(box, k);
            box.viewport()->repaint(); // what the event loop does after a read
        }
        // Until the last line is in the box (lines may wait for the end of a frame).
        const QString last = QString::number(kLines - 1);
        while (!box.document()->lastBlock().text().endsWith(last)) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        QCoreApplication::processEvents();
        return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    };
    const double anchor = run([&](QPlainTextEdit& box, int first) {
        for (int k = first; k < first + kPerRead; ++k) {
            box.appendPlainText(line + QString::number(k));
        }
    });
    CLog log;
    const QPlainTextEdit* attached = nullptr;
    // As the chat window does it: the lines of one read are shown together.
    const double ours = run([&](QPlainTextEdit& box, int first) {
        if (attached != &box) {
            log.Start(std::nullopt, &box);
            attached = &box;
        }
        const CLog::Batch batch(log);
        for (int k = first; k < first + kPerRead; ++k) {
            log.Log(line + QString::number(k));
        }
    });
    std::printf("log burst, %d lines painted every %d: CLog %.3f s CPU   appendPlainText %.3f s "
                "CPU   ratio: %.2f (goal <= 0.8)\n",
                kLines, kPerRead, ours, anchor, ours / anchor);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (!crcbinding::Available()) {
        std::fprintf(stderr, "sumcore not found: %s\n", qPrintable(crcbinding::LastError()));
        return 1;
    }
    BenchCrc();
    BenchCipher();
    BenchCycles();
    BenchLog();
    BenchLogBurst();
    return 0;
}
