// Palaver's binding to sumcore's CRCBuffer, loaded by file name on first use.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace crcbinding {

// The CRC-32 of the bytes, or nothing when the library or its export cannot be loaded.
// The first failure is reported once, naming the file and the loader's reason.
std::optional<std::uint32_t> Compute(const QByteArray& bytes);

// Where that report goes (the program shows it in a message box); none by default.
void SetFailureReporter(std::function<void(const QString& text)> report);

// True once CRCBuffer has been bound (tries to bind it).
bool Available();

// The loader's reason for the last failure, empty when bound.
QString LastError();

// Where the library is looked for, in order: beside the executable in `appDir`, in the
// program's private library folder relative to it, then by name through the loader.
QStringList CandidatePaths(const QString& appDir, const QString& baseName);

// Tests: forget the binding and look for the library under another base name.
void ResetForTesting(const QString& baseName);

} // namespace crcbinding

// The normalised form of a raw CRC-32: a value from 1 to 2147483647 that both ends
// compute the same way and that EncodeLong can always carry.
std::int32_t NormaliseCrc(std::uint32_t raw);
