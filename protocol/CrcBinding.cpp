#include "CrcBinding.h"

#include "sumcore.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

#include <memory>

#ifndef PALAVER_PRIVATE_LIB_RELDIR
#define PALAVER_PRIVATE_LIB_RELDIR ""
#endif

namespace crcbinding {
namespace {

// The library's SONAME version.
constexpr int kSumcoreVersion = 1;

struct Binding {
    QString baseName = QStringLiteral("sumcore");
    std::unique_ptr<QLibrary> library;
    CRCBufferFn fn = nullptr;
    bool tried = false;
    bool reported = false;
    QString error;
};

Binding& State() {
    static Binding b;
    return b;
}

QString LibraryFileName(const QString& base) {
#if defined(Q_OS_WIN)
    return base + QStringLiteral(".dll");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("lib") + base + QStringLiteral(".dylib");
#else
    return QStringLiteral("lib") + base + QStringLiteral(".so");
#endif
}

void Bind(Binding& b) {
    const QStringList candidates = CandidatePaths(QCoreApplication::instance() != nullptr
                                                      ? QCoreApplication::applicationDirPath()
                                                      : QString(),
                                                  b.baseName);
    QStringList reasons;
    for (const QString& name : candidates) {
        // Versioned first (an installed library has only its SONAME file), then plain.
        auto lib = std::make_unique<QLibrary>(name, kSumcoreVersion);
        if (!lib->load()) {
            lib = std::make_unique<QLibrary>(name);
        }
        if (!lib->load()) {
            reasons << lib->errorString();
            continue;
        }
        auto fn = reinterpret_cast<CRCBufferFn>(lib->resolve("CRCBuffer"));
        if (fn == nullptr) {
            reasons << lib->errorString();
            lib->unload();
            continue;
        }
        b.library = std::move(lib);
        b.fn = fn;
        b.error.clear();
        return;
    }
    // Every place tried, so that a broken installation can be put right.
    b.error = QStringLiteral("Looked in: ") + candidates.join(QStringLiteral(", ")) +
              QStringLiteral(".\n") + (reasons.isEmpty() ? QString() : reasons.last());
}

std::function<void(const QString&)>& Reporter() {
    static std::function<void(const QString&)> reporter;
    return reporter;
}

void ReportOnce(Binding& b) {
    if (b.reported) {
        return;
    }
    b.reported = true;
    if (Reporter()) {
        Reporter()(QStringLiteral("The checksum library \"%1\" could not be loaded, so no "
                                  "message can be sent or accepted.\n\n%2")
                       .arg(LibraryFileName(b.baseName), b.error));
    }
}

} // namespace

void SetFailureReporter(std::function<void(const QString& text)> report) {
    Reporter() = std::move(report);
}

QStringList CandidatePaths(const QString& appDir, const QString& baseName) {
    // Absolute paths: the load is issued from inside Qt, so the loader would not search
    // the program's own run path.
    QStringList out;
    if (!appDir.isEmpty()) {
        const QDir dir(appDir);
        out << dir.filePath(baseName);
        const QString privateDir = QStringLiteral(PALAVER_PRIVATE_LIB_RELDIR);
        if (!privateDir.isEmpty()) {
            out << QDir::cleanPath(dir.filePath(privateDir + QLatin1Char('/') + baseName));
        }
    }
    out << baseName;
    return out;
}

bool Available() {
    Binding& b = State();
    if (!b.tried) {
        b.tried = true;
        Bind(b);
    }
    if (b.fn == nullptr) {
        ReportOnce(b);
    }
    return b.fn != nullptr;
}

std::optional<std::uint32_t> Compute(const QByteArray& bytes) {
    if (!Available()) {
        return std::nullopt;
    }
    return State().fn(reinterpret_cast<const unsigned char*>(bytes.constData()),
                      static_cast<std::uint32_t>(bytes.size()));
}

QString LastError() {
    return State().error;
}

void ResetForTesting(const QString& baseName) {
    Binding& b = State();
    b.fn = nullptr;
    if (b.library) {
        b.library->unload();
    }
    b.library.reset();
    b.baseName = baseName;
    b.tried = false;
    b.reported = false;
    b.error.clear();
}

} // namespace crcbinding

std::int32_t NormaliseCrc(std::uint32_t raw) {
    const auto v = static_cast<std::int32_t>(raw);
    if (v >= 1) {
        return v;
    }
    // Below 1 the value is moved up by 2^31 + 1, that is (raw AND 0x7FFFFFFF) + 1. The two
    // values this leaves out of range are fixed here: 0 gives 1 (the same formula) and
    // 0xFFFFFFFF gives 2147483647 (saturated).
    if (raw == 0xFFFFFFFFu) {
        return 0x7FFFFFFF;
    }
    return static_cast<std::int32_t>((raw & 0x7FFFFFFFu) + 1u);
}
