#include "server/ApiProbe.h"

#include "server/OutputText.h"
#include "server/ServerConstants.h"

#include <QList>

#include <algorithm>
#include <limits>

namespace ApiProbe {

namespace {

// A status line, header or chunk-size line longer than this is no answer of
// the report server's: it is not buffered further.
constexpr qsizetype lineLimit = 8 * 1024;
// The head as a whole, interim answers' included, and how many interim
// answers may come before the answer: a server that floods either is not
// the report server, and is not read on.
constexpr qsizetype headLimit = 16 * 1024;
constexpr int interimLimit = 4;

// Decimal or hexadecimal digits only, within qint64; absent otherwise.
std::optional<qint64> number(QByteArrayView digits, int base)
{
    if (digits.isEmpty() || digits.size() > 15)
        return std::nullopt;
    bool ok = false;
    const qint64 value = QByteArray(digits.data(), digits.size()).toLongLong(&ok, base);
    const bool allDigits = std::all_of(digits.begin(), digits.end(), [base](char c) {
        return (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    });
    return ok && allDigits ? std::optional(value) : std::nullopt;
}

// The comma-separated tokens of a header value, lower-case, trimmed.
QList<QByteArray> tokens(const QByteArray &value)
{
    QList<QByteArray> list;
    for (const QByteArray &token : value.split(','))
        list.append(token.trimmed().toLower());
    return list;
}

} // namespace

Response::State Response::feed(QByteArrayView bytes)
{
    if (m_state != State::Incomplete) {
        if (!bytes.isEmpty())
            m_closeAfter = true; // more than was asked for: not on this connection again
        return m_state;
    }
    m_pending.append(bytes.data(), bytes.size());
    while (m_state == State::Incomplete) {
        const qsizetype before = m_pending.size();
        const Part part = m_part;
        switch (m_part) {
        case Part::Head: readHead(); break;
        case Part::Body: readBody(); break;
        default: readChunks(); break;
        }
        if (m_state == State::Incomplete && m_pending.size() == before && m_part == part)
            break; // waits for more
    }
    return m_state;
}

Response::State Response::closed()
{
    if (m_state == State::Incomplete) {
        if (m_part == Part::Body && m_closeDelimited)
            return complete();
        return fail();
    }
    return m_state;
}

std::optional<QString> Response::version() const
{
    if (m_state != State::Complete || m_status != 200)
        return std::nullopt;
    return OutputText::decodeUtf8(m_body).value_or(QStringLiteral("OK"));
}

bool Response::reusable() const
{
    return m_state == State::Complete && !m_cutOff && !m_closeAfter && !m_closeDelimited;
}

std::optional<QByteArray> Response::takeLine()
{
    const qsizetype end = m_pending.indexOf('\n');
    if (end < 0) {
        if (m_pending.size() > lineLimit)
            fail();
        return std::nullopt;
    }
    QByteArray line = m_pending.left(end);
    m_pending.remove(0, end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

Response::State Response::readHead()
{
    while (const std::optional<QByteArray> line = takeLine()) {
        if ((m_headSize += line->size() + 1) > headLimit)
            return fail();
        if (m_status == 0) {
            // "HTTP/1.1 200 OK": a version we speak, three digits, a reason or none.
            const bool shaped = line->size() >= 12 && line->startsWith("HTTP/1.") && line->at(8) == ' '
                    && (line->size() == 12 || line->at(12) == ' ');
            const std::optional<qint64> status = shaped ? number(line->mid(9, 3), 10) : std::nullopt;
            if (!status || *status < 100)
                return fail();
            m_status = int(*status);
            m_closeAfter = line->at(7) == '0'; // HTTP/1.0 closes unless it says otherwise
            m_contentLength.reset();
            m_chunked = false;
            continue;
        }
        if (!line->isEmpty()) {
            const qsizetype colon = line->indexOf(':');
            if (colon <= 0)
                return fail();
            const QByteArray name = line->left(colon).trimmed().toLower();
            const QByteArray value = line->mid(colon + 1).trimmed();
            if (name == "content-length") {
                const std::optional<qint64> length = number(value, 10);
                if (!length || (m_contentLength && *m_contentLength != *length))
                    return fail();
                m_contentLength = length;
            } else if (name == "transfer-encoding") {
                const QList<QByteArray> codings = tokens(value);
                // Chunked alone; a compressed answer was never asked for.
                if (codings != QList<QByteArray>{"chunked"})
                    return fail();
                m_chunked = true;
            } else if (name == "connection") {
                const QList<QByteArray> options = tokens(value);
                if (options.contains("close"))
                    m_closeAfter = true;
                else if (options.contains("keep-alive"))
                    m_closeAfter = false;
            }
            continue;
        }
        // The end of a head: an interim answer is followed by the real one.
        if (m_status < 200) {
            if (++m_interim > interimLimit)
                return fail();
            m_status = 0;
            continue;
        }
        if (m_chunked && m_contentLength)
            return fail(); // framed twice: which one the server meant is a guess
        if (m_status == 204 || m_status == 304 || (m_contentLength && *m_contentLength == 0))
            return complete();
        m_part = m_chunked ? Part::ChunkSize : Part::Body;
        m_closeDelimited = !m_chunked && !m_contentLength;
        m_remaining = m_contentLength.value_or(std::numeric_limits<qint64>::max());
        return m_state;
    }
    return m_state;
}

Response::State Response::readBody()
{
    const qsizetype take = qsizetype(qMin<qint64>(m_remaining, m_pending.size()));
    const QByteArray bytes = m_pending.left(take);
    m_pending.remove(0, take);
    m_remaining -= take;
    if (keep(bytes))
        return complete();
    if (m_remaining == 0)
        return complete();
    // The declared length says there is more than may be kept.
    if (m_contentLength && m_body.size() == ServerConstants::apiAnswerLimit) {
        m_cutOff = true;
        return complete();
    }
    return m_state;
}

Response::State Response::readChunks()
{
    switch (m_part) {
    case Part::ChunkSize:
        if (const std::optional<QByteArray> line = takeLine()) {
            // "1a;name=value": the size, extensions passed over.
            const qsizetype semicolon = line->indexOf(';');
            const std::optional<qint64> size = number((semicolon < 0 ? *line : line->left(semicolon)).trimmed(), 16);
            if (!size)
                return fail();
            m_remaining = *size;
            m_part = *size == 0 ? Part::Trailer : Part::ChunkData;
        }
        break;
    case Part::ChunkData: {
        const qsizetype take = qsizetype(qMin<qint64>(m_remaining, m_pending.size()));
        const bool cut = keep(QByteArrayView(m_pending).first(take));
        m_pending.remove(0, take);
        m_remaining -= take;
        if (cut)
            return complete();
        if (m_remaining == 0)
            m_part = Part::ChunkEnd;
        break;
    }
    case Part::ChunkEnd:
        if (const std::optional<QByteArray> line = takeLine()) {
            if (!line->isEmpty())
                return fail();
            m_part = Part::ChunkSize;
        }
        break;
    default: // trailer fields, up to an empty line
        if (const std::optional<QByteArray> line = takeLine(); line && line->isEmpty())
            return complete();
        break;
    }
    return m_state;
}

bool Response::keep(QByteArrayView bytes)
{
    const qsizetype room = qsizetype(ServerConstants::apiAnswerLimit) - m_body.size();
    m_body.append(bytes.first(qMin(room, bytes.size())));
    m_cutOff = bytes.size() > room;
    return m_cutOff;
}

Response::State Response::complete()
{
    m_part = Part::Done;
    // Bytes beyond the answer would be read as the next one's: not on this connection.
    if (!m_pending.isEmpty())
        m_closeAfter = true;
    return m_state = State::Complete;
}

} // namespace ApiProbe
