#pragma once

#include <QMutex>
#include <QMutexLocker>

// A value read and written from several threads, each access whole. The lock
// is held for the copy alone, never while its holder does anything else.
template<typename T> class Guarded
{
public:
    explicit Guarded(T value = T())
        : m_value(std::move(value))
    {
    }
    Q_DISABLE_COPY_MOVE(Guarded)

    T get() const
    {
        QMutexLocker lock(&m_mutex);
        return m_value;
    }

    void set(T value)
    {
        QMutexLocker lock(&m_mutex);
        m_value = std::move(value);
    }

    // Replaces the value only while it still is `expected`; a writer that
    // decided on an old value must not undo a newer one.
    bool replaceIf(const T &expected, T value)
    {
        QMutexLocker lock(&m_mutex);
        if (!(m_value == expected))
            return false;
        m_value = std::move(value);
        return true;
    }

    // Empties an optional value only while it still is `expected`. (An
    // empty optional moved in instead would do the same, but GCC 14 then
    // warns that the moved-from payload may be uninitialized.)
    bool resetIf(const T &expected)
    {
        QMutexLocker lock(&m_mutex);
        if (!(m_value == expected))
            return false;
        m_value.reset();
        return true;
    }

private:
    mutable QMutex m_mutex;
    T m_value;
};
