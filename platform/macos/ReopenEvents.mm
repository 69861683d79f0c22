#include "platform/ReopenEvents.h"

#import <CoreServices/CoreServices.h>
#import <Foundation/Foundation.h>

#include <utility>

@interface HarluneReopenTarget : NSObject {
    std::function<void()> _reopen;
}
- (instancetype)initWithReopen:(std::function<void()>)reopen;
- (void)handleReopen:(NSAppleEventDescriptor *)event withReplyEvent:(NSAppleEventDescriptor *)reply;
@end

@implementation HarluneReopenTarget

- (instancetype)initWithReopen:(std::function<void()>)reopen
{
    if ((self = [super init]))
        _reopen = std::move(reopen);
    return self;
}

- (void)handleReopen:(NSAppleEventDescriptor *)event withReplyEvent:(NSAppleEventDescriptor *)reply
{
    (void)event;
    (void)reply;
    if (_reopen)
        _reopen();
}

@end

namespace ReopenEvents {

void install(std::function<void()> reopen)
{
    // The event manager does not retain its handler: this one lives as long
    // as the program, like the delegate it calls.
    static HarluneReopenTarget *target = nil;
    if (target)
        return;
    target = [[HarluneReopenTarget alloc] initWithReopen:std::move(reopen)];
    [[NSAppleEventManager sharedAppleEventManager] setEventHandler:target
                                                       andSelector:@selector(handleReopen:withReplyEvent:)
                                                     forEventClass:kCoreEventClass
                                                        andEventID:kAEReopenApplication];
}

} // namespace ReopenEvents
