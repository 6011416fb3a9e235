// Prints the messages waiting in a mailbox without taking them, for the management
// stand-in's "mailbox read" and for tests. Copies each message in place (MSG_COPY); on a
// kernel without it, takes every message and puts them back in their order.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdio>

namespace mailbox_dump {

// A message as msgrcv fills it: the type, then the payload.
struct Message {
    long type;
    unsigned char data[8192];  // the kernel's default largest message
};

// Prints "mailbox N: K message(s)" and one line per message, oldest first:
// "type T code C size S: xx xx ...", the code read as a native u32. Returns the number of
// messages, or -1 (with a line saying why) when the mailbox does not exist or is unreadable.
int print_mailbox(int mailbox, std::FILE* out);

}  // namespace mailbox_dump
