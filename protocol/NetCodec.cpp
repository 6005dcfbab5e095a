#include "NetCodec.h"

#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

// The box is shown from the event loop; a stream of corrupt headers must not queue boxes
// without bound, so at most one header's worth waits at a time.
int pendingDecodeBoxes = 0;
constexpr int kMaxPendingDecodeBoxes = 5;

void ReportDecodeFailure() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || pendingDecodeBoxes >= kMaxPendingDecodeBoxes) {
        return;
    }
    ++pendingDecodeBoxes;
    QTimer::singleShot(0, app, [] {
        platform::MessageRequest box;
        box.text = QStringLiteral("Error decoding message. Maybe passwords don't match.");
        box.icon = platform::MsgIcon::Exclamation;
        box.buttons = platform::MsgButtons::Ok;
        platform::ShowMessage(box);
        --pendingDecodeBoxes;
    });
}

} // namespace

QByteArray EncodeLong(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    QByteArray out(4, Qt::Uninitialized);
    out[0] = static_cast<char>(u & 0xFFu);
    out[1] = static_cast<char>((u >> 8) & 0xFFu);
    out[2] = static_cast<char>((u >> 16) & 0xFFu);
    out[3] = static_cast<char>((u >> 24) & 0xFFu);
    return out;
}

std::int32_t DecodeLong(const QByteArray& s) {
    if (s.size() != 4) {
        return 0;
    }
    const auto c = [&](int k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(s[k]));
    };
    if (c(3) >= 128) {
        ReportDecodeFailure();
        return 0;
    }
    return static_cast<std::int32_t>(c(0) | (c(1) << 8) | (c(2) << 16) | (c(3) << 24));
}
