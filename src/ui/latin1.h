#pragma once

#include <QString>

#include <string>
#include <stdexcept>
#include <string_view>

// The core holds texts as bytes; the windows show byte n as the character U+00nn and take
// it back the same way, so every byte value can be typed, shown and saved unchanged.
inline QString ToQString(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Characters above U+00FF have no byte; they become '?'.
inline std::string ToBytes(const QString& text) {
    const QByteArray latin1 = text.toLatin1();
    return std::string(latin1.constData(), static_cast<std::size_t>(latin1.size()));
}

// An error text of the core (bytes) as the application's error box takes an exception's
// message: in the local 8-bit encoding, so that a typed Latin-1 character shows whole.
inline std::runtime_error ConversionError(std::string_view bytes) {
    const QByteArray local = ToQString(bytes).toLocal8Bit();
    return std::runtime_error(std::string(local.constData(), static_cast<std::size_t>(local.size())));
}
