// Private namespaces for one unit test process: its own IPC objects (System V keys such
// as 1005 and the mailboxes) and its own network (loopback up, ports such as 18005 free),
// so tests never meet the machine's or each other's. Needs root or user namespaces.
#pragma once

// Moves the calling process into a fresh IPC namespace; returns false (with a reason on
// stderr) when the kernel refuses.
bool enter_private_ipc();

// Moves the calling process into a fresh network namespace with loopback up.
bool enter_private_net();

// Both, in one step (a user namespace is taken first when not running as root).
bool enter_private_ipc_and_net();
