#include "PrivateFile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool Fail(QString* error, const QString& why) {
    if (error != nullptr) {
        *error = why;
    }
    return false;
}

QString SystemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool WriteAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return ::fsync(fd) == 0;
}

// The folder cannot take a file of ours, but the file itself is ours: rewritten where it is,
// still never through a link.
bool WriteInPlace(const QByteArray& name, const QByteArray& data, QString* error) {
    const int fd = ::open(name.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return Fail(error, SystemError());
    }
    struct stat st {};
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid();
    const bool ok = ours && ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && ::ftruncate(fd, 0) == 0 &&
                    WriteAll(fd, data);
    const QString why = ours ? SystemError() : QStringLiteral("it belongs to another user");
    ::close(fd);
    return ok || Fail(error, why);
}

} // namespace

QString UnsafeToWrite(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        return {}; // nothing there yet
    }
    if (S_ISLNK(st.st_mode)) {
        return path + QStringLiteral(" is a link to another file");
    }
    if (!S_ISREG(st.st_mode)) {
        return path + QStringLiteral(" is not a plain file");
    }
    if (st.st_uid != ::getuid()) {
        return path + QStringLiteral(" belongs to another user");
    }
    return {};
}

bool WritePrivateFile(const QString& path, const QByteArray& data, bool replace, QString* error) {
    if (const QString why = UnsafeToWrite(path); !why.isEmpty()) {
        return Fail(error, why);
    }
    const QByteArray name = QFile::encodeName(path);
    const bool exists = QFileInfo::exists(path);
    if (!replace && exists) {
        return Fail(error, path + QStringLiteral(" exists already"));
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray temp = name + ".new";
    ::unlink(temp.constData()); // a leftover of ours, or a trap: either way not written through
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if ((errno == EACCES || errno == EROFS || errno == EPERM) && exists) {
            return WriteInPlace(name, data, error);
        }
        return Fail(error, SystemError());
    }
    const bool written = WriteAll(fd, data);
    const QString why = SystemError();
    ::close(fd);
    if (!written) {
        ::unlink(temp.constData());
        return Fail(error, why);
    }
    if (!replace && QFileInfo::exists(path)) {
        ::unlink(temp.constData());
        return Fail(error, path + QStringLiteral(" exists already"));
    }
    if (::rename(temp.constData(), name.constData()) != 0) {
        const QString renameWhy = SystemError();
        ::unlink(temp.constData());
        return Fail(error, renameWhy);
    }
    return true;
}

} // namespace platform
