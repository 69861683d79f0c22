#include "server/ServerLog.h"

Q_LOGGING_CATEGORY(lcServer, "harlune.server", QtWarningMsg)
