#include "platform/StrictUtf8.h"

#include <QStringDecoder>

namespace StrictUtf8 {

std::optional<QString> decode(const QByteArray &bytes)
{
    // Stateless: a sequence cut off at the end is an error, not a remainder
    // kept for a next chunk that never comes.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace StrictUtf8
