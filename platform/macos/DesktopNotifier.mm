#include "platform/DesktopNotifier.h"

#include "platform/NoticeRoute.h"
#include "platform/PlatformLog.h"

#import <Foundation/Foundation.h>
#import <UserNotifications/UserNotifications.h>

#include <QPointer>

namespace {

// One identifier for every notice: a second one replaces the first.
NSString *const noticeIdentifier = @"server-stop";

// Without one (a binary run outside its .app) the notification centre
// raises an exception at the first call.
bool hasBundleIdentifier() { return [NSBundle mainBundle].bundleIdentifier.length > 0; }

// The centre answered the request for permission with an error: it will
// not show this program's notices, whatever its settings say. Main thread only.
bool centreRefused = false;

NoticeRoute::Permission permissionOf(UNAuthorizationStatus status)
{
    switch (status) {
    case UNAuthorizationStatusAuthorized:
    case UNAuthorizationStatusProvisional: return NoticeRoute::Permission::Allowed;
    case UNAuthorizationStatusDenied: return NoticeRoute::Permission::Denied;
    default: return NoticeRoute::Permission::NotAnswered;
    }
}

} // namespace

@interface HarluneNoticeDelegate : NSObject <UNUserNotificationCenterDelegate> {
@public
    QPointer<DesktopNotifier> notifier; // touched on the main thread only
}
@end

@implementation HarluneNoticeDelegate

// Shown also while the program is the active one (an alert of ours is up).
- (void)userNotificationCenter:(UNUserNotificationCenter *)center
        willPresentNotification:(UNNotification *)notification
          withCompletionHandler:(void (^)(UNNotificationPresentationOptions))completionHandler
{
    (void)center;
    (void)notification;
    completionHandler(UNNotificationPresentationOptionBanner | UNNotificationPresentationOptionList);
}

- (void)userNotificationCenter:(UNUserNotificationCenter *)center
        didReceiveNotificationResponse:(UNNotificationResponse *)response
                 withCompletionHandler:(void (^)(void))completionHandler
{
    (void)center;
    if ([response.actionIdentifier isEqualToString:UNNotificationDefaultActionIdentifier] &&
        [response.notification.request.identifier isEqualToString:noticeIdentifier]) {
        dispatch_async(dispatch_get_main_queue(), ^{
            if (self->notifier)
                emit self->notifier->clicked();
        });
    }
    completionHandler();
}

@end

void DesktopNotifier::listen()
{
    if (!hasBundleIdentifier())
        return;
    // The centre holds its delegate weakly: this one lives as long as the program.
    static HarluneNoticeDelegate *delegate = [[HarluneNoticeDelegate alloc] init];
    delegate->notifier = this;
    // Before the application has finished launching, as the centre asks: a
    // click on a notice that started the program is delivered then.
    UNUserNotificationCenter *center = [UNUserNotificationCenter currentNotificationCenter];
    center.delegate = delegate;
    // Asked at launch rather than when a server has just ended: the system
    // asks the user once, and the notice would wait for the answer. Asked
    // from the running event loop, where the system's question can show.
    QMetaObject::invokeMethod(
            this,
            [center] {
                [center requestAuthorizationWithOptions:UNAuthorizationOptionAlert
                                      completionHandler:^(BOOL granted, NSError *error) {
                                          (void)granted; // "no" without an error is the user's answer
                                          if (!error)
                                              return;
                                          const QString reason = QString::fromNSString(error.localizedDescription);
                                          dispatch_async(dispatch_get_main_queue(), ^{
                                              qCWarning(lcPlatform) << "notices refused by the system:" << reason;
                                              centreRefused = true;
                                          });
                                      }];
            },
            Qt::QueuedConnection);
}

void DesktopNotifier::notify(const QString &title, const Body &body, const QString &actionLabel)
{
    const QPointer<DesktopNotifier> notifier(this);
    const auto route = [notifier, title, body, actionLabel](NoticeRoute::Permission permission) {
        if (!notifier)
            return;
        switch (NoticeRoute::choose(hasBundleIdentifier(), centreRefused, permission)) {
        case NoticeRoute::Route::SystemNotice: notifier->send(title, body, actionLabel, {}); return;
        case NoticeRoute::Route::Alert: emit notifier->unavailable(title, body(false)); return;
        case NoticeRoute::Route::MenuOnly: qCInfo(lcPlatform) << "notices turned off by the user:" << title; return;
        }
    };
    if (!hasBundleIdentifier()) {
        QMetaObject::invokeMethod(
                this, [route] { route(NoticeRoute::Permission::NotAnswered); }, Qt::QueuedConnection);
        return;
    }
    [[UNUserNotificationCenter currentNotificationCenter]
            getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings *settings) {
                const NoticeRoute::Permission permission = permissionOf(settings.authorizationStatus);
                dispatch_async(dispatch_get_main_queue(), ^{ route(permission); });
            }];
}

void DesktopNotifier::send(const QString &title, const Body &body, const QString & /*actionLabel*/,
                           const QStringList & /*capabilities*/)
{
    // A click on the notice itself reaches the delegate: no action button needed.
    UNMutableNotificationContent *content = [[UNMutableNotificationContent alloc] init];
    content.title = title.toNSString();
    content.body = body(true).toNSString();
    UNNotificationRequest *request = [UNNotificationRequest requestWithIdentifier:noticeIdentifier
                                                                          content:content
                                                                          trigger:nil];
    [content release];
    // Blocks capture C++ references as references: copies only.
    const QPointer<DesktopNotifier> notifier(this);
    const QString shownTitle = title;
    const QString fallback = body(false);
    [[UNUserNotificationCenter currentNotificationCenter]
            addNotificationRequest:request
             withCompletionHandler:^(NSError *error) {
                 if (!error)
                     return;
                 const QString reason = QString::fromNSString(error.localizedDescription);
                 dispatch_async(dispatch_get_main_queue(), ^{
                     qCWarning(lcPlatform) << "notice not shown:" << reason;
                     if (notifier)
                         emit notifier->unavailable(shownTitle, fallback);
                 });
             }];
}

void DesktopNotifier::onActionInvoked(uint, const QString &) { }

void DesktopNotifier::onClosed(uint, uint) { }
