#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace ApiProbe {

// One HTTP/1.x answer to the version request, read as its bytes arrive.
// Framed by Content-Length, by chunks, or by the end of the connection;
// answers with 1xx are passed over, a few of them. A head (interim answers'
// included) larger than 16 KiB breaks the answer. What is kept of the body never exceeds
// ServerConstants::apiAnswerLimit: a longer one is cut off there and counts
// as complete, its first bytes being its text.
class Response
{
public:
    enum class State {
        Incomplete, // more bytes are needed
        Complete,   // the answer is whole (or was cut off on purpose)
        Broken,     // not HTTP, or framed in a way we do not read
    };

    State feed(QByteArrayView bytes);
    // The peer closed the connection: only an answer framed by that end
    // becomes complete; any other unfinished one is broken.
    State closed();
    State state() const { return m_state; }

    // Complete answers only: the body of a 200 as UTF-8, unchanged ("OK"
    // when it is not UTF-8, "" when it is empty); absent for any other status.
    std::optional<QString> version() const;
    // The connection may carry the next request: the answer was read to its
    // end, and neither side asked to close.
    bool reusable() const;

private:
    enum class Part { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };

    State readHead();
    State readBody();
    State readChunks();
    // Keeps body bytes up to the limit; true once the limit cut it off.
    bool keep(QByteArrayView bytes);
    // The next line of m_pending without its line end, or absent while none is whole.
    std::optional<QByteArray> takeLine();
    State fail() { return m_state = State::Broken; }
    State complete();

    State m_state = State::Incomplete;
    Part m_part = Part::Head;
    QByteArray m_pending; // bytes received and not yet read
    QByteArray m_body;
    int m_status = 0;
    qsizetype m_headSize = 0; // of every head so far, interim answers' too
    int m_interim = 0;        // interim (1xx) answers passed over
    bool m_closeAfter = false;
    bool m_cutOff = false;
    bool m_closeDelimited = false;
    bool m_chunked = false;
    std::optional<qint64> m_contentLength;
    qint64 m_remaining = 0; // of the body or of the current chunk
};

} // namespace ApiProbe
