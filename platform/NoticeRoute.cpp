#include "platform/NoticeRoute.h"

namespace NoticeRoute {

Route choose(bool hasBundleIdentifier, Permission permission)
{
    if (!hasBundleIdentifier)
        return Route::Alert;
    switch (permission) {
    case Permission::Allowed: return Route::SystemNotice;
    case Permission::Denied: return Route::MenuOnly;
    case Permission::NotAnswered: break;
    }
    return Route::Alert;
}

} // namespace NoticeRoute
