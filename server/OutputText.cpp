#include "server/OutputText.h"

#include <QStringDecoder>

namespace OutputText {

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    // Stateless: a sequence cut off at the end is an error, not a remainder
    // kept for a next chunk that never comes.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless
                               | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString trimmed(const QString &text)
{
    // QChar::isSpace is exactly the set above: the Z categories plus
    // U+0009..U+000D and U+0085.
    return text.trimmed();
}

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString lastLine(const QString &text)
{
    const QStringList pieces = lines(text);
    return pieces.isEmpty() ? text : pieces.constLast();
}

} // namespace OutputText
