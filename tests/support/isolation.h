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

// Moves the calling process into a fresh mount namespace (all mounts private) with an
// empty tmpfs on /tmp, so that fixed names such as "/tmp/.pidof" are this test's own.
// Children started afterwards share that /tmp.
bool enter_private_tmp();

// Runs the rest of the test as process 1 of a fresh PID namespace, with its own /proc and
// its own empty /tmp: finding processes by name (pidof, ps) sees only the ones this test
// started, and terminating them by name cannot reach anyone else's. The calling process
// stays outside, waits, and exits with the test's status; only the inner process returns
// (true), and every process left in the namespace is killed when the test ends.
bool enter_private_pids();
