#include "platform/NoticeRoute.h"

namespace NoticeRoute {

Route choose(bool hasBundleIdentifier, bool centreRefused, Permission permission)
{
    if (!hasBundleIdentifier || centreRefused)
        return Route::Alert;
    switch (permission) {
    case Permission::Allowed: return Route::SystemNotice;
    case Permission::Denied: return Route::MenuOnly;
    case Permission::NotAnswered: break;
    }
    return Route::Alert;
}

} // namespace NoticeRoute
