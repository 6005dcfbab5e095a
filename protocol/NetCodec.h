// The header's four-character integers and the command codes.
#pragma once

#include <QByteArray>

#include <cstdint>

inline constexpr std::uint8_t CmdText = 1;
inline constexpr std::uint8_t CmdAck = 2;
inline constexpr std::uint8_t CmdLogin = 3;
// Between copies that said FILE1 after login: file offers and answers, and file data.
inline constexpr std::uint8_t CmdFile = 4;
inline constexpr std::uint8_t CmdFileData = 5;

// The marker every message of this program carries.
inline constexpr char kAppMarker[] = "QV;(";

// Largest body whose header-plus-body length still fits a 16-bit signed count (32767).
inline constexpr qsizetype kMaxBody = 32767 - 21;

// Little-endian 32-bit value as four characters.
QByteArray EncodeLong(std::int32_t v);

// Four characters back to a value; anything but four characters gives 0. A group above
// 2147483647 (fourth code 128 or more) only comes from a corrupt or foreign stream: it
// gives 0 and sets *ok to false. Telling the user is the caller's business, because only
// the caller knows whether the peer has earned a message box.
std::int32_t DecodeLong(const QByteArray& s, bool* ok = nullptr);
