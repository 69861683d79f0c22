#include "platform/StatusNotifierWatch.h"

// The menu bar is there from the start and never comes later.
StatusNotifierWatch::StatusNotifierWatch(QObject *parent)
    : QObject(parent)
    , m_watcher(nullptr)
{
}

bool StatusNotifierWatch::itemCanShowNow() { return true; }

void StatusNotifierWatch::askForHost() {}
