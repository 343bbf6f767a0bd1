// What the POSIX backend offers beyond the Win32-shaped contract: the hook a
// GUI toolkit's event loop needs to wake when a thread's message queue
// receives input.
#pragma once

#include "platform/osapi.h"

namespace platform::posix {

// A file descriptor that is readable while the message queue of the given
// thread holds at least one message. Creates the queue if it does not exist
// yet. The descriptor belongs to the queue; do not close it.
int MessageQueueFd(DWORD threadId);

}  // namespace platform::posix
