#pragma once

#include <QLoggingCategory>

// What the paths layer notes and does not show: failures it deliberately
// passes over. Warnings are on, debug off (QT_LOGGING_RULES turns it on).
Q_DECLARE_LOGGING_CATEGORY(lcPaths)
