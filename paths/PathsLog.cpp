#include "paths/PathsLog.h"

Q_LOGGING_CATEGORY(lcPaths, "harlune.paths", QtWarningMsg)
