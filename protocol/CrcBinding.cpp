#include "CrcBinding.h"

#include "platform/MessageBox.h"
#include "sumcore.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

#include <memory>

namespace crcbinding {
namespace {

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

// Beside the executable first, then wherever the system's loader looks.
bool Bind(Binding& b) {
    QStringList candidates;
    if (QCoreApplication::instance() != nullptr) {
        candidates << QDir(QCoreApplication::applicationDirPath()).filePath(b.baseName);
    }
    candidates << b.baseName;
    QStringList reasons;
    for (const QString& name : candidates) {
        auto lib = std::make_unique<QLibrary>(name);
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
        return true;
    }
    b.error = reasons.isEmpty() ? QStringLiteral("not found") : reasons.last();
    return false;
}

void ReportOnce(Binding& b) {
    if (b.reported) {
        return;
    }
    b.reported = true;
    platform::MessageRequest box;
    box.text = QStringLiteral("The checksum library \"%1\" could not be loaded, so no message "
                              "can be sent or accepted.\n\n%2")
                   .arg(LibraryFileName(b.baseName), b.error);
    box.icon = platform::MsgIcon::Critical;
    platform::PostMessage(box);
}

} // namespace

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
