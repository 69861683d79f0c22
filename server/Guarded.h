#pragma once

#include <QMutex>
#include <QMutexLocker>

// A value read and written from several threads, each access whole. The lock
// is held for the copy alone, never while its holder does anything else.
template<typename T>
class Guarded
{
public:
    explicit Guarded(T value = T()) : m_value(std::move(value)) {}
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

private:
    mutable QMutex m_mutex;
    T m_value;
};
