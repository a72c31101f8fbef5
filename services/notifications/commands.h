#pragma once

#include "generations.h"
#include "json.h"
#include "platform/notification_centre.h"
#include "protocol/reply.h"

namespace mirelo::services::notifications {

// The process-wide generation state, made on first use (start-up) and never freed.
NotificationGenerations& processGenerations();

// The commands start on the main thread; their replies come from the centre's thread, except
// refused payloads and clears that need no lookup, which reply at once.
void notificationStatus(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
                        const Reply& reply);
void notify(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
            const Reply& reply);
void notificationsClear(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
                        const Reply& reply);

// Start-up: clicks on our notifications become "notification-activate" events (the centre closes
// the clicked notification).
void hookUp(platform::NotificationCentre& centre);

// The process end (`stop`, end of input): closes every notification of ours still shown and
// waits, briefly, until that has been sent. Requests not yet shown are left alone.
void closeShownBeforeExit(platform::NotificationCentre& centre);

}  // namespace mirelo::services::notifications
