// RC4 over byte strings, with its state in module variables shared by every caller. Each
// CipherText call sets the state up afresh, so enciphering and deciphering are one operation.
#pragma once

#include <QByteArray>

#include <cstdint>

void CipherSetKey(const QByteArray& password);
std::uint8_t CipherByte(std::uint8_t b);
QByteArray CipherText(const QByteArray& text, const QByteArray& password);
